// The built CorvUpdater finding a virtual unit that CorvSim serves on COM3
// through a pseudo-terminal: no port given, an empty registry, so the port
// search finds it; then the connection reads its versions. Real time.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/common/processes.h"
#include "tests/common/scratch.h"

namespace {

namespace fs = std::filesystem;
using corv::testing::BinDir;
using corv::testing::Child;
using corv::testing::ReadUntil;
using corv::testing::WaitFor;

using corv::testing::Input;

TEST(DiscoveryE2E, PortSearchFindsCorvSimOnCom3AndConnects) {
  const corv::testing::UpdaterSandbox sandbox("corv-find", corv::testing::Build::Native);
  const std::string& box = sandbox.box.path;
  const std::string root = sandbox.Machine(), locks = sandbox.Locks();

  std::string simOut;
  Child sim = corv::testing::StartSim({"COM3"}, sandbox.In(Input::DevNull), simOut, 10);
  ASSERT_GT(sim.pid, 0) << simOut;

  // A parameter file in manufacturing mode without Program: the run connects,
  // has nothing to do and ends with status 0.
  std::ofstream(box + "/job.ini", std::ios::binary) << "CorvManufacture=TRUE\r\n";
  const auto [status, out] =
      corv::testing::RunToEnd(sandbox.program, {"-y", "-d", box + "/job.ini"}, sandbox.In(Input::DevNull), "", 120, 10);

  EXPECT_EQ(status, 0) << out;
  // The lock line follows the open, the probe line the lock line.
  EXPECT_NE(out.find("Searching ports...\nUsing CORVANTALOCKDIR=" + locks + "\nProbing COM3\n"), std::string::npos)
      << out;
  EXPECT_EQ(out.find("Probing COM1"), std::string::npos) << out;  // missing ports stay silent
  EXPECT_NE(out.find("Unit ID=F0\n.\n-- Found Unit (direct connection)\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Connecting to Corvanta unit...\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Sending version request\nOK - got versions\n"), std::string::npos) << out;
  EXPECT_NE(out.find("-- nothing to do\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("power off and on"), std::string::npos) << out;
  EXPECT_FALSE(fs::exists(locks + "/lockCorvantaCommPort3"));

  // CorvSim is still serving and ends cleanly.
  EXPECT_EQ(corv::testing::StopSim(sim, SIGTERM), 0);
  EXPECT_FALSE(fs::exists(root + "/com3"));
}

// A port where nothing answers: the run waits for a power cycle, and a signal
// then ends it with the port closed and its lock file removed.
TEST(DiscoveryE2E, SignalWhileWaitingForThePowerCycleRemovesTheLock) {
  corv::testing::UpdaterSandbox sandbox("corv-wait", corv::testing::Build::Native);
  const std::string& box = sandbox.box.path;
  const std::string locks = sandbox.Locks() + "/";  // the value as a folder with its separator
  sandbox.env[1] = "CORVANTALOCKDIR=" + locks;
  corv::testing::WriteFile(box + "/dead.txt", "kind=dead\n");

  std::string simOut;
  Child sim = corv::testing::StartSim({"--profile", box + "/dead.txt", "COM5"}, sandbox.In(Input::DevNull), simOut, 10);
  ASSERT_GT(sim.pid, 0) << simOut;

  Child run = corv::testing::Start(sandbox.program, {"-y", "COM5"}, sandbox.In(Input::DevNull));
  std::string out;
  ReadUntil(run.out, out, "please turn the unit power off and on now\n", 60);
  ASSERT_NE(out.find("Opening COM5\nUsing CORVANTALOCKDIR=" + locks + "\n"), std::string::npos) << out;
  EXPECT_TRUE(fs::exists(locks + "lockCorvantaCommPort5"));
  corv::testing::SignalChild(run.pid, SIGTERM);
  ReadUntil(run.out, out, "-- aborted\n", 10);
  EXPECT_EQ(WaitFor(run.pid, 10), 1);
  close(run.out);
  EXPECT_NE(out.find("\n-- aborted\n"), std::string::npos) << out;
  EXPECT_FALSE(fs::exists(locks + "lockCorvantaCommPort5"));
  EXPECT_EQ(corv::testing::StopSim(sim, SIGTERM), 0);
}

}  // namespace
