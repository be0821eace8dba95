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

inline std::string ReadFileText(const std::string& path) { return testing::ReadFile(path); }

// Starts `program` in `dir` with `input` on its standard input (then its end),
// output on a pipe, and `env` on top of ours.
inline Child Start(const std::string& program, const std::vector<std::string>& args,
                   const std::vector<std::string>& env, const std::string& dir, const std::string& input) {
  Child c = Start(program, args, testing::Launch{.dir = dir, .env = env});
  // The child may be gone already; its output tells.
  if (c.in >= 0) testing::Feed(c, input);
  return c;
}

struct RunResult {
  int status = -1;
  std::string out;
  double seconds = 0;
  bool Has(const std::string& text) const { return out.find(text) != std::string::npos; }
  size_t Count(const std::string& text) const {
    size_t n = 0;
    for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++n;
    return n;
  }
};

class Sandbox {
 public:
  // `profile`: CorvSim profile lines over the default unit; `build`: the
  // CorvUpdater that runs.
  explicit Sandbox(const std::string& profile, testing::Build build = testing::Build::UnderTest)
      : dir_(MakeDir()), machine_(dir_ + "/machine", build) {
    fs::create_directories(dir_ + "/locks");
    fs::create_directories(dir_ + "/home/bin");
    program_ = testing::PlaceUpdater(dir_, build);
    fs::copy_file(BinDir() + "/CorvBoot", dir_ + "/home/bin/CorvBoot");
    std::ofstream(dir_ + "/unit.txt") << profile;
    env_ = {"CORVANTAROOT=" + dir_ + "/machine", "CORVANTALOCKDIR=" + dir_ + "/locks", "CORVUPDATER=" + dir_ + "/home"};
    sim_ = testing::StartSim(BinDir() + "/CorvSim",
                             {"--profile", dir_ + "/unit.txt", "--state", dir_ + "/state.txt", "COM1"},
                             {.dir = dir_, .env = env_}, simOut_, 10);
    EXPECT_NE(simOut_.find("ready COM1"), std::string::npos) << simOut_;
  }
  ~Sandbox() {
    StopSim();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
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
    Child c = Start(program_, args, env_, dir_, input);
    RunResult r;
    ReadUntil(c.out, r.out, "", 240);
    r.status = WaitFor(c.pid, 10);
    close(c.out);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("[ e2e      ] CorvUpdater run took %.1f s\n", r.seconds);
    return r;
  }

  // CorvUpdater started with `args` as they stand, left running.
  Child StartRun(const std::vector<std::string>& args) { return Start(program_, args, env_, dir_, ""); }

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
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(master, 0);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return t;
    const std::string slavePath = ptsname(master);
    const int slave = open(slavePath.c_str(), O_RDWR | O_NOCTTY);
    tcgetattr(slave, &t.before);
    const std::string program = program_;
    const pid_t pid = fork();
    if (pid == 0) {
      setsid();
      const int tty = open(slavePath.c_str(), O_RDWR);  // becomes the controlling terminal
      dup2(tty, 0);
      dup2(tty, 1);
      dup2(tty, 2);
      if (chdir(dir_.c_str()) != 0) _exit(126);
      unsetenv("CORVANTAPORT");
      for (const auto& e : env_) putenv(const_cast<char*>(e.c_str()));
      testing::ExecProgram(program, args);
    }
    ReadUntil(master, t.run.out, prompt, 60);
    tcgetattr(slave, &t.during);
    if (write(master, &key, 1) != 1) ADD_FAILURE() << "cannot type";
    // Until it ends (the slave stays open here, so the output never does).
    bool entered = false;
    for (int i = 0; i < 600 && t.run.status < 0; ++i) {
      Drain(master, t.run.out);
      if (!entered && t.run.Has("Press Enter key to continue")) {
        entered = true;
        if (write(master, "\r", 1) != 1) ADD_FAILURE() << "cannot type";
      }
      int st = 0;
      if (waitpid(pid, &st, WNOHANG) == pid) {
        t.run.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      } else {
        usleep(100000);
      }
    }
    if (t.run.status < 0) t.run.status = WaitFor(pid, 0);
    Drain(master, t.run.out);
    tcgetattr(slave, &t.after);
    close(slave);
    close(master);
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
      kill(sim_.pid, SIGUSR2);
      usleep(300000);
    }
    std::map<std::string, std::string> s;
    std::istringstream in(ReadFileText(dir_ + "/state.txt"));
    for (std::string line; std::getline(in, line);) {
      const size_t eq = line.find('=');
      if (eq != std::string::npos) s[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return s;
  }

  // The newest log file of the program.
  std::string Log() const {
    std::string newest;
    if (!fs::exists(dir_ + "/LogFiles")) return {};
    for (const auto& e : fs::directory_iterator(dir_ + "/LogFiles")) {
      if (newest.empty() || e.path().string() > newest) newest = e.path().string();
    }
    return newest.empty() ? std::string() : ReadFileText(newest);
  }
  // The port the program saved after its last successful update ("" none).
  std::string SavedPort() const { return machine_.SavedPort(); }
  bool LockLeft() const { return fs::exists(dir_ + "/locks/lockCorvantaCommPort1"); }

  void StopSim() {
    if (sim_.pid <= 0) return;
    kill(sim_.pid, SIGTERM);
    EXPECT_EQ(WaitFor(sim_.pid, 10), 0);
    close(sim_.out);
    sim_.pid = -1;
  }

 private:
  static std::string MakeDir() {
    char tmpl[] = "/tmp/corv-e2e-update-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    fs::create_directories(dir + "/machine");
    return dir;
  }

  std::string dir_;
  testing::UpdaterMachine machine_;
  std::string program_;
  std::vector<std::string> env_;
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
