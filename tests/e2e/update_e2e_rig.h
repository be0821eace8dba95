// The bench of the end-to-end update tests: a sandbox folder with its own
// machine folder, lock folder, a copy of CorvUpdater (so its LogFiles folder is
// in the sandbox; the Windows build under Wine when the tests are switched to
// it, see tests/common/updater_build.h), a home folder with CorvBoot, CorvSim
// serving COM1 with a given profile, and the unit's state file read after
// CorvSim ends. Real time.
#pragma once
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/common/manufacturing_job.h"
#include "tests/common/processes.h"
#include "sim/unit_data.h"
#include "tests/common/scratch.h"

namespace corv::e2e {

namespace fs = std::filesystem;

using testing::BinDir;
using testing::Child;
using testing::Drain;
using testing::ReadUntil;
using testing::Start;
using testing::WaitFor;

using testing::ReadFile;

// The unit's state as CorvSim wrote it in `path` (key=value lines).
inline std::map<std::string, std::string> ReadState(const std::string& path) {
  std::map<std::string, std::string> s;
  std::istringstream in(ReadFile(path));
  for (std::string line; std::getline(in, line);) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) s[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return s;
}

struct RunResult {
  int status = -1;
  std::string out;
  double seconds = 0;
  bool Has(const std::string& text) const { return testing::Contains(out, text); }
  size_t Count(const std::string& text) const { return testing::Count(out, text); }
};

// A running CorvUpdater: its output (console) so far and how it ended.
struct LiveRun {
  pid_t pid = -1;
  int out = -1;      // pipe or pseudo-terminal master
  int in = -1;       // pipe to its standard input (-1 on a terminal: type on `out`)
  int slave = -1;    // the terminal's slave side, kept to read its settings
  termios before{}, after{};
  std::string text;  // console output so far
  int status = -1;   // exit status once ended
  double cpuSeconds = -1;  // processor time it used (user and system), once ended

  // The run as started on pipes or on a terminal.
  static LiveRun Of(const Child& c) {
    LiveRun r;
    r.pid = c.pid, r.out = c.out, r.in = c.in;
    return r;
  }
  static LiveRun Of(const testing::TerminalChild& c) {
    LiveRun r = Of(static_cast<const Child&>(c));
    r.slave = c.slave, r.before = c.before;
    return r;
  }

  bool Has(const std::string& t) const { return testing::Contains(text, t); }
  // Not ended yet (its end is left to Finish to collect).
  bool Running() const {
    siginfo_t ended{};
    return pid > 0 && waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           ended.si_pid == 0;
  }
  // Reads until `t` appears; false when `seconds` pass or the output ends first.
  bool WaitFor(const std::string& t, int seconds) {
    ReadUntil(out, text, t, seconds);
    return Has(t);
  }
  // The same for `t` after the first `after` in the output.
  bool WaitForAfter(const std::string& after, const std::string& t, int seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
      const size_t at = text.find(after);
      if (at != std::string::npos && text.find(t, at + after.size()) != std::string::npos) return true;
      if (std::chrono::steady_clock::now() > end) return false;
      pollfd p{out, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      char buf[4096];
      const ssize_t n = read(out, buf, sizeof buf);
      if (n <= 0) return false;
      text.append(buf, static_cast<size_t>(n));
    }
  }
  void Type(const std::string& keys) const {
    const int fd = in >= 0 ? in : out;
    if (write(fd, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size())) ADD_FAILURE() << "cannot type";
  }
  // Waits for the end (killing it after `seconds`), reading all it says.
  int Finish(int seconds) {
    if (pid <= 0) {
      ADD_FAILURE() << "CorvUpdater was never started";
      Close();
      return status;
    }
    if (status < 0) {
      status = testing::ReadWhileRunning(pid, out, text, seconds, &cpuSeconds);
      if (status < 0) ADD_FAILURE() << "CorvUpdater did not end within " << seconds << " s:\n" << text;
    }
    if (slave >= 0) tcgetattr(slave, &after);
    Close();
    return status;
  }
  void Close() {
    for (int* fd : {&out, &in, &slave}) {
      if (*fd >= 0) close(*fd);
      *fd = -1;
    }
  }
  // The log file the run named on its console.
  std::string LogPath() const {
    const size_t at = text.find("LogFile = ");
    if (at == std::string::npos) return {};
    const size_t end = text.find_first_of("\r\n", at);  // a terminal shows CR LF
    return testing::HostPath(text.substr(at + 10, end == std::string::npos ? std::string::npos : end - at - 10));
  }
};

class Sandbox {
 public:
  // `profile`: CorvSim profile lines over the default unit; `build`: the
  // CorvUpdater that runs.
  explicit Sandbox(const std::string& profile, testing::Build build = testing::Build::UnderTest)
      : box_("corv-e2e-update", build), dir_(box_.box.path) {
    testing::WriteFile(dir_ + "/unit.txt", profile);
    sim_ = testing::StartSim({"--profile", dir_ + "/unit.txt", "--state", dir_ + "/state.txt", "COM1"}, box_.In(),
                             simOut_, 10);
    EXPECT_GT(sim_.pid, 0) << simOut_;
  }
  ~Sandbox() { StopSim(); }
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  const std::string& Dir() const { return dir_; }

  // Runs CorvUpdater with `args` (COM1 is added) and `input` typed.
  RunResult Run(std::vector<std::string> args, const std::string& input = "") {
    args.push_back("COM1");
    return RunAsIs(args, input);
  }
  // The same with `args` as they stand (a port of its own, or none).
  RunResult RunAsIs(const std::vector<std::string>& args, const std::string& input = "") {
    const auto t0 = std::chrono::steady_clock::now();
    auto [status, out] = testing::RunToEnd(box_.program, args, box_.In(), input, 240, 10);
    RunResult r{status, std::move(out)};
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("[ e2e      ] CorvUpdater run took %.1f s\n", r.seconds);
    return r;
  }

  // CorvUpdater started with `args` as they stand, left running.
  Child StartRun(const std::vector<std::string>& args) { return Start(box_.program, args, box_.In()); }

  // Runs CorvUpdater with `args` (COM1 is added) on a terminal of its own (a
  // pseudo-terminal as its controlling terminal), typing `key` once `prompt`
  // shows and Enter at the closing key prompt. `before` and `after` are the
  // terminal's settings before the run and once it ended; `during` those seen
  // when the prompt showed.
  struct TerminalRun {
    RunResult run;
    termios before{}, during{}, after{};
  };
  TerminalRun RunOnTerminal(std::vector<std::string> args, const std::string& prompt, char key) {
    args.push_back("COM1");
    LiveRun live = LiveRun::Of(testing::StartOnTerminal(box_.program, args, box_.In()));
    TerminalRun t;
    if (live.pid > 0) {
      live.WaitFor(prompt, 60);
      tcgetattr(live.slave, &t.during);
      live.Type(std::string(1, key));
      // The closing key prompt, unless the run ends without one.
      for (int s = 0; s < 60 && live.Running() && !live.WaitFor("Press Enter key to continue", 1); ++s) {
      }
      live.Type("\r");
    }
    t.run.status = live.Finish(60);
    t.run.out = live.text;
    t.before = live.before, t.after = live.after;
    return t;
  }

  std::string Job(const std::string& text) {
    const std::string path = dir_ + "/job.ini";
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }

  // The unit's state as CorvSim writes it (key=value lines) at this moment.
  std::map<std::string, std::string> State() {
    if (sim_.pid > 0) {
      EXPECT_TRUE(testing::SnapshotSim(sim_, 10)) << "CorvSim wrote no state";
    }
    return ReadState(dir_ + "/state.txt");
  }

  // The newest log file of the program.
  std::string Log() const {
    std::string newest;
    if (!fs::exists(dir_ + "/LogFiles")) return {};
    for (const auto& e : fs::directory_iterator(dir_ + "/LogFiles")) {
      if (newest.empty() || e.path().string() > newest) newest = e.path().string();
    }
    return newest.empty() ? std::string() : ReadFile(newest);
  }
  // The port the program saved after its last successful update ("" none).
  std::string SavedPort() const { return box_.machine.SavedPort(); }
  bool LockLeft() const { return fs::exists(dir_ + "/locks/lockCorvantaCommPort1"); }

  void StopSim() {
    if (sim_.pid > 0) {
      EXPECT_EQ(testing::StopSim(sim_, SIGTERM), 0);
    }
  }

 private:
  testing::UpdaterSandbox box_;
  std::string dir_;
  Child sim_;
  std::string simOut_;
};

// A Display of MCU type 3 that already holds the carried software and files.
inline std::string CurrentDisplayProfile() {
  std::string p = "version=5.10\nchecksum=0xCFD9091F\nfile40=catalogue\n";
  for (int n = 0x50; n <= 0x5D; ++n) {
    char line[32];
    std::snprintf(line, sizeof line, "file%02X=catalogue\n", n);
    p += line;
  }
  return p;
}

// The manufacturing-fields record of `serial` as CorvSim's state file shows it.
inline std::string FieldsHex(uint32_t serial) {
  std::string hex;
  for (uint8_t b : sim::MakeFieldsRecord(serial)) {
    char two[3];
    std::snprintf(two, sizeof two, "%02X", b);
    hex += two;
  }
  return hex;
}

}  // namespace corv::e2e
