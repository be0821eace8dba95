// Running the built programs from the end-to-end tests: starting one (a Windows
// one under Wine, see updater_build.h) with its output on a pipe or on a
// pseudo-terminal that is its controlling terminal, reading that output until a
// text shows or the program ends, its exit status, CorvSim started and serving,
// a program run to its end, and the sandbox such runs share.
// Real time. Every child is made with ForkChild and signalled with
// SignalChild, so a pid that is not a child the rig made is never used.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/common/scratch.h"
#include "tests/common/updater_build.h"

namespace corv::testing {

// A fork that fails is reported and gives -1; the caller then has no child.
inline pid_t ForkChild() {
  const pid_t pid = fork();
  if (pid < 0) std::fprintf(stderr, "fork: %s\n", std::strerror(errno));
  return pid;
}

// Signals a child the rig made. Any other pid is left alone: kill(-1) reaches
// every process the test may signal (as root, all of them) and kill(0) the
// test's own process group.
inline void SignalChild(pid_t pid, int sig) {
  if (pid > 0) kill(pid, sig);
}

// Waits for a child the rig made; -1 for any other pid (waitpid(-1) would reap
// a child that is not ours).
inline pid_t ReapChild(pid_t pid, int* status, int options) {
  return pid > 0 ? waitpid(pid, status, options) : -1;
}

struct Child {
  pid_t pid = -1;
  int in = -1;   // its standard input, when on a pipe
  int out = -1;  // its standard output and error
};

enum class Input { Pipe, DevNull, Closed };

// How a program is started: in `dir` (empty: here), with `unset` removed from
// our environment and then `env` (NAME=value) put on top.
struct Launch {
  std::string dir{};
  std::vector<std::string> env{};
  std::vector<std::string> unset = {"CORVANTAPORT"};
  Input input = Input::Pipe;
};

// In the forked child: its folder and environment as `how` says, then `program`.
[[noreturn]] inline void ExecAs(const std::string& program, const std::vector<std::string>& args, const Launch& how) {
  if (!how.dir.empty() && chdir(how.dir.c_str()) != 0) _exit(126);
  for (const auto& name : how.unset) unsetenv(name.c_str());
  for (const auto& e : how.env) putenv(const_cast<char*>(e.c_str()));
  ExecProgram(program, args);
}

inline Child Start(const std::string& program, const std::vector<std::string>& args, const Launch& how) {
  int toChild[2] = {-1, -1}, fromChild[2];
  if (how.input == Input::Pipe && pipe(toChild) != 0) return {};
  if (pipe(fromChild) != 0) {
    if (toChild[0] >= 0) close(toChild[0]), close(toChild[1]);
    return {};
  }
  Child c;
  c.pid = ForkChild();
  if (c.pid < 0) {
    if (toChild[0] >= 0) close(toChild[0]), close(toChild[1]);
    close(fromChild[0]);
    close(fromChild[1]);
    return {};
  }
  if (c.pid == 0) {
    if (how.input == Input::Pipe) {
      dup2(toChild[0], 0);
      close(toChild[1]);
    } else if (how.input == Input::DevNull) {
      const int null = open("/dev/null", O_RDONLY);
      dup2(null, 0);
    } else {
      close(0);
    }
    dup2(fromChild[1], 1);
    dup2(fromChild[1], 2);
    close(fromChild[0]);
    ExecAs(program, args, how);
  }
  if (how.input == Input::Pipe) {
    close(toChild[0]);
    c.in = toChild[1];
  }
  close(fromChild[1]);
  c.out = fromChild[0];
  return c;
}

// How a program on a terminal starts: the signals it finds ignored (as under
// nohup), and whether it runs as a background job of that terminal.
struct OnTerminal {
  std::vector<int> ignored{};
  bool background = false;
};

// The status a background run's job leader reports when the run was stopped.
inline constexpr int kStoppedInBackground = 200;

// A program on a pseudo-terminal of its own: `out` is the master side (its
// output; what is typed there is its input), `slave` the other side, kept open
// here to read the terminal's settings (`before`: as the run found them). The
// output never ends while `slave` is open: wait for the program instead.
struct TerminalChild : Child {
  int slave = -1;
  termios before{};
};

// `program` with the pseudo-terminal as its controlling terminal. In the
// background a session leader holds the foreground while the program is a
// process group of its own; the leader ends with the program's status, or
// kStoppedInBackground when the program was stopped. `how.input` is not used.
inline TerminalChild StartOnTerminal(const std::string& program, const std::vector<std::string>& args,
                                     const Launch& how, const OnTerminal& tty = {}) {
  TerminalChild c;
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0) return c;
  if (grantpt(master) != 0 || unlockpt(master) != 0) {
    close(master);
    return c;
  }
  const std::string slavePath = ptsname(master);
  c.out = master;
  c.slave = open(slavePath.c_str(), O_RDWR | O_NOCTTY);
  tcgetattr(c.slave, &c.before);
  c.pid = ForkChild();
  if (c.pid != 0) return c;
  setsid();
  const int term = open(slavePath.c_str(), O_RDWR);  // becomes the controlling terminal
  ioctl(term, TIOCSCTTY, 0);
  dup2(term, 0);
  dup2(term, 1);
  dup2(term, 2);
  for (int sig : tty.ignored) signal(sig, SIG_IGN);
  if (!tty.background) ExecAs(program, args, how);
  const pid_t job = fork();
  if (job < 0) _exit(127);
  if (job == 0) {
    setpgid(0, 0);
    ExecAs(program, args, how);
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

// Types `input` (when there is any) and ends the input; false when it could
// not be written.
inline bool Feed(Child& c, const std::string& input) {
  const bool written = input.empty() || write(c.in, input.data(), input.size()) >= 0;
  close(c.in);
  c.in = -1;
  return written;
}

// Reads until `until` appears (or, empty, until the output ends) or `seconds` pass.
inline void ReadUntil(int fd, std::string& out, const std::string& until, int seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while ((until.empty() || out.find(until) == std::string::npos) && std::chrono::steady_clock::now() < end) {
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, 100) <= 0) continue;
    char buf[4096];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
}

// Takes what can be read at once.
inline void Drain(int fd, std::string& out) {
  for (;;) {
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, 0) <= 0) return;
    char buf[4096];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return;
    out.append(buf, static_cast<size_t>(n));
  }
}

// Reads `fd` into `out` until the child `pid` ends, then what is left there;
// its exit status, or -1 when it has not ended within `seconds` (it is then
// killed). For output that does not end with the program (a terminal). With
// `cpuSeconds`, the processor time (user and system) the child used.
inline int ReadWhileRunning(pid_t pid, int fd, std::string& out, int seconds, double* cpuSeconds = nullptr) {
  if (pid <= 0) return -1;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int status = -1;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) > 0) {
      char buf[4096];
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n > 0) out.append(buf, static_cast<size_t>(n));
    }
    int st = 0;
    rusage used{};
    if (wait4(pid, &st, WNOHANG, &used) == pid) {
      status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      if (cpuSeconds) {
        *cpuSeconds = static_cast<double>(used.ru_utime.tv_sec + used.ru_stime.tv_sec) +
                      static_cast<double>(used.ru_utime.tv_usec + used.ru_stime.tv_usec) / 1e6;
      }
      break;
    }
    if (std::chrono::steady_clock::now() > end) {
      SignalChild(pid, SIGKILL);
      ReapChild(pid, nullptr, 0);
      break;
    }
  }
  Drain(fd, out);
  return status;
}

// The exit status, or -1 when it has not ended within `seconds` (it is then killed).
inline int WaitFor(pid_t pid, int seconds) {
  if (pid <= 0) return -1;
  for (int i = 0; i < seconds * 20; ++i) {
    int st = 0;
    if (waitpid(pid, &st, WNOHANG) == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    usleep(50000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

// Ends its input, waits for it however long it takes and closes its output;
// the exit status.
inline int Wait(Child& c) {
  if (c.in >= 0) close(c.in);
  c.in = -1;
  int status = 0;
  const bool reaped = ReapChild(c.pid, &status, 0) == c.pid;
  if (c.out >= 0) close(c.out);
  c.out = -1;
  if (!reaped) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Ends CorvSim (or any child on pipes) with `sig` and waits up to `seconds`
// for it (then it is killed); its exit status, -1 when it was not running or
// did not end. Its pipes are closed and `sim` holds no child after.
inline int StopSim(Child& sim, int sig, int seconds = 10) {
  if (sim.pid <= 0) return -1;
  SignalChild(sim.pid, sig);
  const int status = WaitFor(sim.pid, seconds);
  for (int fd : {sim.in, sim.out}) {
    if (fd >= 0) close(fd);
  }
  sim = {};
  return status;
}

// The build's CorvSim started with `args` (the last one its port, COMn), once
// it said "ready COMn"; what it said is in `said`. When it did not say so
// within `seconds` it is stopped, and the child returned has no pid.
inline Child StartSim(const std::vector<std::string>& args, const Launch& how, std::string& said, int seconds) {
  Child sim = Start(BinDir() + "/CorvSim", args, how);
  if (sim.pid > 0) ReadUntil(sim.out, said, "ready " + args.back(), seconds);
  if (!Contains(said, "ready " + args.back())) StopSim(sim, SIGKILL);
  return sim;
}

// Has CorvSim write the unit's state and waits until it says it did, so the
// file read next is this moment's state and not an earlier one; false when it
// did not say so within `seconds`.
inline bool SnapshotSim(const Child& sim, int seconds) {
  std::string said;
  Drain(sim.out, said);  // what it said before this request
  said.clear();
  SignalChild(sim.pid, SIGUSR2);
  ReadUntil(sim.out, said, "state written\n", seconds);
  return said.find("state written\n") != std::string::npos;
}

struct Finished {
  int status = -1;
  std::string out;
};

// Runs `program` to its end: `input` typed and the input ended (on a pipe),
// the output read until it ends or `readSeconds` pass, then the exit status,
// waited for without limit (`waitSeconds` < 0) or up to `waitSeconds` (then
// killed, -1). Status -1 and no output when the input could not be typed.
inline Finished RunToEnd(const std::string& program, const std::vector<std::string>& args, const Launch& how,
                         const std::string& input, int readSeconds, int waitSeconds) {
  Child c = Start(program, args, how);
  if (c.pid < 0) return {-1, ""};
  if (how.input == Input::Pipe && !Feed(c, input)) return {-1, ""};
  Finished r;
  ReadUntil(c.out, r.out, "", readSeconds);
  if (waitSeconds < 0) {
    r.status = Wait(c);
  } else {
    r.status = WaitFor(c.pid, waitSeconds);
    close(c.out);
  }
  return r;
}

// An end-to-end sandbox, removed with all it holds: a machine folder ("this
// PC" of its runs, see UpdaterMachine), a lock folder, a home folder whose bin
// holds CorvBoot, and a copy of the chosen CorvUpdater (its LogFiles land
// here). `env` points a program at these, and `In` starts one there.
struct UpdaterSandbox {
  explicit UpdaterSandbox(const std::string& prefix, Build build = Build::UnderTest)
      : box(prefix), machine(MakeFolders(box.path), build), program(PlaceUpdater(box.path, build)) {}
  std::string Machine() const { return box / "machine"; }
  std::string Locks() const { return box / "locks"; }
  Launch In(Input input = Input::Pipe) const { return {.dir = box.path, .env = env, .input = input}; }

  TempDir box;
  UpdaterMachine machine;
  std::string program;
  std::vector<std::string> env = {"CORVANTAROOT=" + Machine(), "CORVANTALOCKDIR=" + Locks(),
                                  "CORVUPDATER=" + box / "home"};

 private:
  static std::string MakeFolders(const std::string& dir) {
    namespace fs = std::filesystem;
    fs::create_directories(dir + "/locks");
    fs::create_directories(dir + "/home/bin");
    fs::copy_file(BinDir() + "/CorvBoot", dir + "/home/bin/CorvBoot");
    fs::create_directories(dir + "/machine");
    return dir + "/machine";
  }
};

}  // namespace corv::testing
