// Several units on one PC: eight CorvUpdater runs at once on COM1 to COM8, each
// against its own CorvSim unit, sharing one lock folder and one LogFiles
// folder; and two runs on the same port, where the second waits for the port
// or stops with the port-in-use message and never talks to the unit meanwhile.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "tests/e2e/reliability_rig.h"

namespace corv::e2e {
namespace {

constexpr int kUnits = 8;

std::string SerialOf(int port) { return std::to_string(1000 + port); }

TEST(ParallelE2E, EightUnitsAtOnce) {
  UnitsBench bench;
  for (int port = 1; port <= kUnits; ++port) {
    ASSERT_TRUE(bench.Serve(port, "serial=" + SerialOf(port) + "\n"));
  }
  std::vector<LiveRun> runs;
  for (int port = 1; port <= kUnits; ++port) runs.push_back(bench.Run({"-i", "-y", "COM" + std::to_string(port)}));
  std::set<std::string> logs;
  for (int port = 1; port <= kUnits; ++port) {
    LiveRun& r = runs[static_cast<size_t>(port - 1)];
    EXPECT_EQ(r.Finish(120), 0) << r.text;
    const std::string com = "COM" + std::to_string(port);
    EXPECT_TRUE(r.Has("Opening " + com + "\n")) << r.text;
    // Each run talked to its own unit only: the serial number is the unit's.
    EXPECT_TRUE(r.Has("Serial No:    " + SerialOf(port) + "\n")) << r.text;
    for (int other = 1; other <= kUnits; ++other) {
      if (other != port) {
        EXPECT_FALSE(r.Has("Serial No:    " + SerialOf(other) + "\n")) << com;
      }
    }
    EXPECT_FALSE(r.Has("being used by another application")) << r.text;
    const std::string log = r.LogPath();
    EXPECT_FALSE(log.empty()) << r.text;
    logs.insert(log);
    const std::string logText = ReadFile(log);
    EXPECT_NE(logText.find("Serial No:    " + SerialOf(port)), std::string::npos) << log;
    EXPECT_TRUE(bench.PortFree(port));
  }
  // Eight runs, eight logs, though most began in the same second.
  EXPECT_EQ(logs.size(), static_cast<size_t>(kUnits));
  size_t files = 0;
  for (const auto& e : fs::directory_iterator(bench.Dir() + "/LogFiles")) files += e.is_regular_file();
  EXPECT_EQ(files, static_cast<size_t>(kUnits));
  for (int port = 1; port <= kUnits; ++port) EXPECT_EQ(bench.State(port)["serial"], SerialOf(port));
}

// The first run holds COM1 while it waits for its confirmation.
TEST(ParallelE2E, SecondRunOnTheSamePortWaitsForIt) {
  UnitsBench bench;
  ASSERT_TRUE(bench.Serve(1, ""));
  LiveRun first = bench.Run({"COM1"});
  ASSERT_TRUE(first.WaitFor("(y/n)", 30)) << first.text;
  EXPECT_TRUE(fs::exists(bench.LockFile(1)));

  {  // Waits with dots, then gets the port once the first has given it back.
    SCOPED_TRACE("Waits with dots, then gets the port once the first has given it back");
    LiveRun second = bench.Run({"COM1"});
    ASSERT_TRUE(second.WaitFor("...", 10)) << second.text;
    EXPECT_FALSE(second.Has("Found Unit")) << second.text;
    first.Type("n");
    EXPECT_EQ(first.Finish(30), 1) << first.text;
    ASSERT_TRUE(second.WaitFor("(y/n)", 30)) << second.text;
    EXPECT_TRUE(second.Has(".\nUsing CORVANTALOCKDIR=")) << second.text;
    // The port is marked as in use by the run that now holds it.
    EXPECT_TRUE(fs::exists(bench.LockFile(1)));
    first = std::move(second);
  }
  {  // A run stopped by a signal while it waits leaves the holder's lock alone.
    SCOPED_TRACE("A run stopped by a signal while it waits leaves the holder's lock alone");
    LiveRun third = bench.Run({"COM1"});
    ASSERT_TRUE(third.WaitFor("..", 10)) << third.text;
    corv::testing::SignalChild(third.pid, SIGINT);
    EXPECT_EQ(third.Finish(10), 1) << third.text;
    EXPECT_TRUE(third.Has("-- aborted")) << third.text;
    EXPECT_TRUE(fs::exists(bench.LockFile(1)));
  }
  {  // A run that waits in vain stops with the port-in-use message.
    SCOPED_TRACE("A run that waits in vain stops with the port-in-use message");
    LiveRun fourth = bench.Run({"-y", "COM1"});
    EXPECT_EQ(fourth.Finish(40), 1) << fourth.text;
    EXPECT_TRUE(fourth.Has("Fatal Error: COM1 is being used by another application")) << fourth.text;
    EXPECT_FALSE(fourth.Has("Found Unit")) << fourth.text;
    EXPECT_TRUE(fs::exists(bench.LockFile(1)));
  }
  first.Type("n");
  EXPECT_EQ(first.Finish(30), 1) << first.text;
  EXPECT_TRUE(bench.PortFree(1));
  // The unit was asked by one run at a time and left as it was.
  auto state = bench.State(1);
  EXPECT_EQ(state["version"], "490");
  EXPECT_EQ(state["mode"], "software");
}

}  // namespace
}  // namespace corv::e2e
