// Every way out of CorvUpdater run on a pseudo-terminal console against CorvSim:
// the abort signals at each stage of an update, the unit vanishing mid-run, a
// fatal error with a parameter file. Afterwards the lock file is gone, the port
// opens for the next run, the terminal is as it was, the log ends with the last
// line said, and the exit status is the one for that way out.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "tests/e2e/reliability_rig.h"

namespace corv::e2e {
namespace {

// The terminal as the user had it: modes and the one-key settings.
void ExpectTerminalGivenBack(const LiveRun& r, const std::string& what) {
  EXPECT_EQ(r.after.c_lflag, r.before.c_lflag) << what;
  EXPECT_EQ(r.after.c_iflag, r.before.c_iflag) << what;
  EXPECT_EQ(r.after.c_oflag, r.before.c_oflag) << what;
  EXPECT_EQ(r.after.c_cc[VMIN], r.before.c_cc[VMIN]) << what;
  EXPECT_EQ(r.after.c_cc[VTIME], r.before.c_cc[VTIME]) << what;
}

// The log ends with "-- aborted" on a stamped line of its own, followed by the
// stamp that would open the next line, as every closed log ends.
bool EndsWithStampedAbort(const std::string& logPath) {
  static const std::regex kEnd(R"([\s\S]*\r\n\d{6}: -- aborted\r\n\d{6}: )");
  return std::regex_match(ReadFile(logPath), kEnd);
}

struct Stage {
  const char* name;
  const char* line;  // the console line that shows the run has reached it
  int signal;
};

// SIGINT, SIGTERM, SIGHUP and SIGQUIT each end the run at one stage or more.
TEST(WaysOutE2E, AbortSignalAtEachStage) {
  const std::vector<Stage> stages = {
      {"search", "Checking for LPC chip", SIGINT},
      {"search", "Checking for modem", SIGTERM},
      {"search", "Searching for unit ID...", SIGHUP},
      {"search", "Sending boot loader response request", SIGQUIT},
      {"connect", "Connecting to Corvanta unit...", SIGTERM},
      {"reboot", "Rebooting unit", SIGHUP},
      {"download", "Downloading to RAM", SIGQUIT},
      {"flash pass", "Writing to flash", SIGINT},
      {"files", "Updating Corvanta file...", SIGTERM},
      {"reconnect", "Pausing for 2 seconds", SIGHUP},
  };
  UnitsBench bench;
  for (const Stage& s : stages) {
    const std::string what = std::string(s.name) + " (" + s.line + "), signal " + std::to_string(s.signal);
    ASSERT_TRUE(bench.Serve(1, ""));
    LiveRun r = bench.RunOnTerminal({"-d", "-y", "COM1"});
    ASSERT_TRUE(r.WaitFor(s.line, 60)) << what << "\n" << r.text;
    corv::testing::SignalChild(r.pid, s.signal);
    EXPECT_EQ(r.Finish(20), 1) << what << "\n" << r.text;
    EXPECT_TRUE(r.Has("\r\n-- aborted\r\n")) << what << "\n" << r.text;
    EXPECT_FALSE(r.Has("Success")) << what;
    EXPECT_TRUE(bench.PortFree(1)) << what;
    ExpectTerminalGivenBack(r, what);
    EXPECT_EQ(LastLogLine(r.LogPath()), "-- aborted") << what;
    EXPECT_TRUE(EndsWithStampedAbort(r.LogPath())) << what;
  }
}

// Ctrl-C in the middle of the flash pass of a run on pipes, as a production
// line starts it (and as the Windows build gets it under Wine: a SIGINT to the
// process is its console's Ctrl-C event). The unit cut off there is
// recoverable: the next run finds only its flash programmer, has it switched
// off and on, and brings it up to date.
TEST(WaysOutE2E, CtrlCMidFlashPassThenRecovered) {
  UnitsBench bench;
  ASSERT_TRUE(bench.Serve(1, ""));
  LiveRun cut = bench.Run({"-d", "-y", "COM1"});
  ASSERT_TRUE(cut.WaitForAfter("Writing to flash", "..........", 60)) << cut.text;
  corv::testing::SignalChild(cut.pid, SIGINT);
  EXPECT_EQ(cut.Finish(20), 1) << cut.text;
  EXPECT_TRUE(cut.Has("\n-- aborted\n")) << cut.text;
  EXPECT_FALSE(cut.Has("Success")) << cut.text;
  EXPECT_TRUE(EndsWithStampedAbort(cut.LogPath())) << ReadFile(cut.LogPath());
  EXPECT_TRUE(bench.PortFree(1));
  LiveRun next = bench.Run({"-y", "COM1"});
  ASSERT_TRUE(next.WaitFor("please turn the unit power off and on now", 120)) << next.text;
  bench.PowerCycle(1);
  EXPECT_EQ(next.Finish(120), 0) << next.text;
  EXPECT_TRUE(next.Has("Success: all operations are complete")) << next.text;
  EXPECT_TRUE(bench.PortFree(1));
  auto state = bench.State(1);
  EXPECT_EQ(state["version"], "510");
  EXPECT_EQ(state["checksum"], "0xCFD9091F");
  EXPECT_EQ(state["serial"], "12345");
}

// A signal ignored when the program started (nohup) stays ignored: a hang-up
// in the middle of the flash pass leaves the update going to its end.
TEST(WaysOutE2E, HangUpIgnoredAtStartLeavesTheUpdateGoing) {
  UnitsBench bench;
  ASSERT_TRUE(bench.Serve(1, ""));
  LiveRun r = bench.RunOnTerminal({"-d", "-y", "COM1"}, {.ignored = {SIGHUP}});
  ASSERT_TRUE(r.WaitForAfter("Writing to flash", "..........", 60)) << r.text;
  corv::testing::SignalChild(r.pid, SIGHUP);
  EXPECT_EQ(r.Finish(180), 0) << r.text;
  EXPECT_TRUE(r.Has("Success: all operations are complete")) << r.text;
  EXPECT_FALSE(r.Has("-- aborted")) << r.text;
  EXPECT_TRUE(bench.PortFree(1));
  ExpectTerminalGivenBack(r, "hang-up ignored");
  EXPECT_EQ(bench.State(1)["version"], "510");
}

// A console that takes no output (a terminal stopped with Ctrl-S) while the run
// waits for a power cycle: a signal still leaves its line in the log, the lock
// file removed and the port free.
TEST(WaysOutE2E, SignalWhileTheConsoleIsStopped) {
  UnitsBench bench;
  ASSERT_TRUE(bench.Serve(1, "kind=dead\n"));
  LiveRun r = bench.RunOnTerminal({"-y", "COM1"});
  ASSERT_TRUE(r.WaitFor("please turn the unit power off and on now", 90)) << r.text;
  ASSERT_EQ(tcflow(r.slave, TCOOFF), 0);
  corv::testing::SignalChild(r.pid, SIGINT);
  EXPECT_EQ(r.Finish(20), 1) << r.text;
  EXPECT_TRUE(EndsWithStampedAbort(r.LogPath())) << ReadFile(r.LogPath());
  EXPECT_TRUE(bench.PortFree(1));
}

// A run started as a background job of its terminal is never stopped for
// taking the terminal: it runs to its end with the Escape test answering false.
TEST(WaysOutE2E, BackgroundRunIsNeverStopped) {
  UnitsBench bench;
  ASSERT_TRUE(bench.Serve(1, ""));
  LiveRun r = bench.RunOnTerminal({"-i", "-y", "COM1"}, {.background = true});
  EXPECT_EQ(r.Finish(120), 0) << r.text;
  EXPECT_TRUE(bench.PortFree(1));
  ExpectTerminalGivenBack(r, "background run");
}

// The unit's port vanishes under a running update: CorvSim ended (link
// removed, pseudo-terminal closed) or killed (the link dangles). The hung-up
// port fails every read and write at once: the run ends through the failed
// step's fatal path without spinning on the dead port, and the log names the
// port's reason once.
TEST(WaysOutE2E, DeviceVanishesMidRun) {
  const struct {
    const char* line;
    int signal;
    const char* fatal;
  } cases[] = {{"Writing to flash", SIGTERM, "Unable to write new software"},
               {"Updating Corvanta file...", SIGKILL, "Unable to send images file"},
               {"Rebooting unit", SIGTERM, "Error: Input/output error"}};  // the reopen's own
  UnitsBench bench;
  for (const auto& c : cases) {
    const std::string what = std::string(c.line) + ", CorvSim signal " + std::to_string(c.signal);
    ASSERT_TRUE(bench.Serve(1, ""));
    LiveRun r = bench.RunOnTerminal({"-d", "-y", "COM1"});
    ASSERT_TRUE(r.WaitFor(c.line, 60)) << what << "\n" << r.text;
    bench.Stop(1, c.signal);
    EXPECT_EQ(r.Finish(120), 1) << what << "\n" << r.text;
    // The whole run's processor time: a run spinning on the dead port until
    // its time-outs passed used several seconds after the loss alone.
    EXPECT_LT(r.cpuSeconds, 1.0) << what;
    EXPECT_TRUE(r.Has(std::string("Fatal Error: ") + c.fatal + "\r\n")) << what << "\n" << r.text;
    EXPECT_FALSE(r.Has("Success")) << what;
    EXPECT_FALSE(fs::exists(bench.LockFile(1))) << what;
    ExpectTerminalGivenBack(r, what);
    const std::string log = ReadFile(r.LogPath());
    const std::string reason = ": COM1: Input/output error\r\n";
    const size_t first = log.find(reason);
    EXPECT_NE(first, std::string::npos) << what;
    EXPECT_EQ(log.find(reason, first + 1), std::string::npos) << what;
    // The last line may carry the retry marks of the transfer it ended.
    EXPECT_NE(LastLogLine(r.LogPath()).find("Fatal Error: "), std::string::npos) << what << ": " << LastLogLine(r.LogPath());
    fs::remove(bench.Device(1));  // a dangling link of the killed unit
  }
}

// A fatal error of a run driven by a parameter file: status 2 and the message
// stored in the file, with no closing key prompt in manufacturing mode.
TEST(WaysOutE2E, FatalErrorWithParameterFile) {
  UnitsBench bench;
  ASSERT_TRUE(bench.Serve(1, "card=620\nmcu=2\nbootRelease=5\npmoduleType=1\n"));
  const std::string job = bench.Dir() + "/job.ini";
  std::ofstream(job, std::ios::binary) << "Program=TRUE\r\n";
  LiveRun r = bench.RunOnTerminal({"-y", job, "COM1"});
  EXPECT_EQ(r.Finish(60), 2) << r.text;
  const std::string message = "This Corvanta unit cannot be upgraded as it contains an FCHIP";
  EXPECT_TRUE(r.Has("Fatal Error: " + message)) << r.text;
  EXPECT_NE(ReadFile(job).find("\r\nMessage=" + message), std::string::npos) << ReadFile(job);
  EXPECT_TRUE(bench.PortFree(1));
  ExpectTerminalGivenBack(r, "fatal error");
  EXPECT_EQ(LastLogLine(r.LogPath()).rfind("Fatal Error: " + message, 0), 0u) << LastLogLine(r.LogPath());
}

}  // namespace
}  // namespace corv::e2e
