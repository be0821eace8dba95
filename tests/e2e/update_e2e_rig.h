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
    TerminalRun t;
    testing::TerminalChild c = testing::StartOnTerminal(box_.program, args, box_.In());
    EXPECT_GT(c.pid, 0);
    t.before = c.before;
    if (c.pid > 0) {
      ReadUntil(c.out, t.run.out, prompt, 60);
      tcgetattr(c.slave, &t.during);
      if (write(c.out, &key, 1) != 1) ADD_FAILURE() << "cannot type";
      ReadUntil(c.out, t.run.out, "Press Enter key to continue", 60);
      if (write(c.out, "\r", 1) != 1) ADD_FAILURE() << "cannot type";
      t.run.status = testing::ReadWhileRunning(c.pid, c.out, t.run.out, 60);
      tcgetattr(c.slave, &t.after);
    }
    for (int fd : {c.slave, c.out}) {
      if (fd >= 0) close(fd);
    }
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
