// The bench of the reliability end-to-end tests: one sandbox (machine folder,
// lock folder, home folder with CorvBoot, a copy of CorvUpdater so that every
// run's log lands in its LogFiles; the Windows build under Wine when the tests
// are switched to it) with any number of CorvSim units on their
// COM ports, and CorvUpdater runs that stay open while the test watches them:
// on pipes with standard input kept open (answers typed later), or on a
// pseudo-terminal console whose settings are compared before and after.
#pragma once
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/update_e2e_rig.h"

namespace corv::e2e {

// A running CorvUpdater: its output (console) so far and how it ended.
struct LiveRun {
  pid_t pid = -1;
  int out = -1;      // pipe or pseudo-terminal master
  int in = -1;       // pipe to its standard input (-1 on a terminal: type on `out`)
  int slave = -1;    // the terminal's slave side, kept to read its settings
  termios before{}, after{};
  std::string text;  // console output so far
  int status = -1;   // exit status once ended

  bool Has(const std::string& t) const { return testing::Contains(text, t); }
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
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    if (pid <= 0) {
      ADD_FAILURE() << "CorvUpdater was never started";
      Close();
      return status;
    }
    while (status < 0) {
      pollfd p{out, POLLIN, 0};
      if (poll(&p, 1, 50) > 0) {
        char buf[4096];
        const ssize_t n = read(out, buf, sizeof buf);
        if (n > 0) text.append(buf, static_cast<size_t>(n));
      }
      int st = 0;
      if (waitpid(pid, &st, WNOHANG) == pid) {
        status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      } else if (std::chrono::steady_clock::now() > end) {
        testing::SignalChild(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        ADD_FAILURE() << "CorvUpdater did not end within " << seconds << " s:\n" << text;
        status = -1;
        break;
      }
    }
    // What is still in the pipe or the terminal.
    for (;;) {
      pollfd p{out, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) break;
      char buf[4096];
      const ssize_t n = read(out, buf, sizeof buf);
      if (n <= 0) break;
      text.append(buf, static_cast<size_t>(n));
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

// How a run on a terminal starts: the signals it finds ignored (as under
// nohup), and whether it runs as a background job of that terminal.
struct OnTerminal {
  std::vector<int> ignored{};
  bool background = false;
};

class UnitsBench {
 public:
  UnitsBench() : dir_(MakeDir()), machine_(dir_ + "/machine", testing::Build::UnderTest) {
    fs::create_directories(dir_ + "/locks");
    fs::create_directories(dir_ + "/home/bin");
    program_ = testing::PlaceUpdater(dir_);
    fs::copy_file(BinDir() + "/CorvBoot", dir_ + "/home/bin/CorvBoot");
    env_ = {"CORVANTAROOT=" + dir_ + "/machine", "CORVANTALOCKDIR=" + dir_ + "/locks",
            "CORVUPDATER=" + dir_ + "/home"};
  }
  ~UnitsBench() {
    while (!sims_.empty()) Stop(sims_.begin()->first, SIGTERM);
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  UnitsBench(const UnitsBench&) = delete;
  UnitsBench& operator=(const UnitsBench&) = delete;

  const std::string& Dir() const { return dir_; }
  std::string Device(int port) const { return dir_ + "/machine/com" + std::to_string(port); }
  std::string LockFile(int port) const { return dir_ + "/locks/lockCorvantaCommPort" + std::to_string(port); }

  // CorvSim serving COM<port> with these profile lines over the default unit.
  bool Serve(int port, const std::string& profile) {
    Stop(port, SIGTERM);
    const std::string p = std::to_string(port);
    std::ofstream(dir_ + "/unit" + p + ".txt") << profile;
    Child c = Start(BinDir() + "/CorvSim",
                    {"--profile", dir_ + "/unit" + p + ".txt", "--state", dir_ + "/state" + p + ".txt", "COM" + p},
                    env_, dir_, "");
    std::string said;
    ReadUntil(c.out, said, "ready COM" + p, 10);
    sims_[port] = c;
    EXPECT_NE(said.find("ready COM" + p), std::string::npos) << said;
    return said.find("ready COM" + p) != std::string::npos;
  }
  // Ends CorvSim with `sig` (SIGTERM: it writes its state, removes the link and
  // closes the pseudo-terminal; SIGKILL: the device vanishes, the link dangles).
  void Stop(int port, int sig) {
    auto it = sims_.find(port);
    if (it == sims_.end()) return;
    testing::SignalChild(it->second.pid, sig);
    const int st = e2e::WaitFor(it->second.pid, 10);
    if (sig == SIGTERM) {
      EXPECT_EQ(st, 0);
    }
    close(it->second.out);
    sims_.erase(it);
  }
  // The user switches the unit off and on.
  void PowerCycle(int port) {
    auto it = sims_.find(port);
    if (it != sims_.end()) testing::SignalChild(it->second.pid, SIGUSR1);
  }
  // The unit's state as CorvSim last wrote it.
  std::map<std::string, std::string> State(int port) {
    auto it = sims_.find(port);
    if (it != sims_.end()) {
      EXPECT_TRUE(testing::SnapshotSim(it->second, 10)) << "CorvSim wrote no state";
    }
    std::map<std::string, std::string> s;
    std::istringstream in(ReadFile(dir_ + "/state" + std::to_string(port) + ".txt"));
    for (std::string line; std::getline(in, line);) {
      const size_t eq = line.find('=');
      if (eq != std::string::npos) s[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return s;
  }

  // CorvUpdater with `args`, output on a pipe, standard input open for Type.
  LiveRun Run(const std::vector<std::string>& args) {
    int toChild[2], fromChild[2];
    LiveRun r;
    if (pipe(toChild) != 0) return r;
    if (pipe(fromChild) != 0) {
      close(toChild[0]);
      close(toChild[1]);
      return r;
    }
    r.pid = testing::ForkChild();
    if (r.pid < 0) {
      for (int fd : {toChild[0], toChild[1], fromChild[0], fromChild[1]}) close(fd);
      return r;
    }
    if (r.pid == 0) {
      dup2(toChild[0], 0);
      dup2(fromChild[1], 1);
      dup2(fromChild[1], 2);
      close(toChild[1]);
      close(fromChild[0]);
      Exec(args);
    }
    close(toChild[0]);
    close(fromChild[1]);
    r.in = toChild[1];
    r.out = fromChild[0];
    return r;
  }
  // The status a background run's job leader reports when the run was stopped.
  static constexpr int kStoppedInBackground = 200;

  // CorvUpdater with `args` on a pseudo-terminal that is its controlling
  // terminal. In the background a session leader holds the foreground while
  // the run is a process group of its own; the leader ends with the run's
  // status, or kStoppedInBackground when the run was stopped.
  LiveRun RunOnTerminal(const std::vector<std::string>& args, const OnTerminal& how = {}) {
    LiveRun r;
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return r;
    const std::string slavePath = ptsname(master);
    r.out = master;
    r.slave = open(slavePath.c_str(), O_RDWR | O_NOCTTY);
    tcgetattr(r.slave, &r.before);
    r.pid = testing::ForkChild();
    if (r.pid == 0) {
      setsid();
      const int tty = open(slavePath.c_str(), O_RDWR);  // becomes the controlling terminal
      ioctl(tty, TIOCSCTTY, 0);
      dup2(tty, 0);
      dup2(tty, 1);
      dup2(tty, 2);
      for (int sig : how.ignored) signal(sig, SIG_IGN);
      if (!how.background) Exec(args);
      const pid_t job = fork();
      if (job < 0) _exit(127);
      if (job == 0) {
        setpgid(0, 0);
        Exec(args);
      }
      setpgid(job, job);
      int st = 0;
      waitpid(job, &st, WUNTRACED);
      if (WIFSTOPPED(st)) {
        kill(job, SIGKILL);
        _exit(kStoppedInBackground);
      }
      _exit(WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st));
    }
    return r;
  }

  // The port as the next run finds it: present, its lock free and no exclusive
  // flag left on the device.
  ::testing::AssertionResult PortFree(int port) const {
    if (fs::exists(LockFile(port))) return ::testing::AssertionFailure() << "lock file left";
    const int fd = open(Device(port).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return ::testing::AssertionFailure() << "cannot open COM" << port << ": " << strerror(errno);
    int excl = 0;
    const bool exclusive = ioctl(fd, TIOCGEXCL, &excl) == 0 && excl != 0;
    const bool locked = flock(fd, LOCK_EX | LOCK_NB) != 0;
    close(fd);
    if (exclusive) return ::testing::AssertionFailure() << "exclusive flag left on COM" << port;
    if (locked) return ::testing::AssertionFailure() << "COM" << port << " still held";
    return ::testing::AssertionSuccess();
  }

 private:
  [[noreturn]] void Exec(const std::vector<std::string>& args) {
    if (chdir(dir_.c_str()) != 0) _exit(126);
    unsetenv("CORVANTAPORT");
    for (const auto& e : env_) putenv(const_cast<char*>(e.c_str()));
    testing::ExecProgram(program_, args);
  }
  static std::string MakeDir() {
    char tmpl[] = "/tmp/corv-e2e-rel-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    fs::create_directories(dir + "/machine");
    return dir;
  }

  std::string dir_;
  testing::UpdaterMachine machine_;
  std::string program_;
  std::vector<std::string> env_;
  std::map<int, Child> sims_;
};

// The last line of a log file with text after its stamp, without the stamp
// and the line end (a closed log ends with the stamp that would open the next line).
inline std::string LastLogLine(const std::string& path) {
  std::istringstream in(ReadFile(path));
  std::string last;
  for (std::string line; std::getline(in, line);) {
    while (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t colon = line.find(": ");
    const bool stamped = colon != std::string::npos && colon > 0 &&
                         line.find_first_not_of(" 0123456789") == colon;
    const std::string text = stamped ? line.substr(colon + 2) : line;
    if (!text.empty()) last = text;
  }
  return last;
}

}  // namespace corv::e2e
