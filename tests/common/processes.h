// Running the built programs from the end-to-end tests: starting one (a Windows
// one under Wine, see updater_build.h) with its output on a pipe, reading that
// output until a text shows, its exit status, CorvSim started and serving, and
// a program run to its end.
// Real time.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/common/updater_build.h"

namespace corv::testing {

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

inline Child Start(const std::string& program, const std::vector<std::string>& args, const Launch& how) {
  int toChild[2] = {-1, -1}, fromChild[2];
  if (how.input == Input::Pipe && pipe(toChild) != 0) return {};
  if (pipe(fromChild) != 0) return {};
  Child c;
  c.pid = fork();
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
    if (!how.dir.empty() && chdir(how.dir.c_str()) != 0) _exit(126);
    for (const auto& name : how.unset) unsetenv(name.c_str());
    for (const auto& e : how.env) putenv(const_cast<char*>(e.c_str()));
    ExecProgram(program, args);
  }
  if (how.input == Input::Pipe) {
    close(toChild[0]);
    c.in = toChild[1];
  }
  close(fromChild[1]);
  c.out = fromChild[0];
  return c;
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

// The exit status, or -1 when it has not ended within `seconds` (it is then killed).
inline int WaitFor(pid_t pid, int seconds) {
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
  waitpid(c.pid, &status, 0);
  close(c.out);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// CorvSim started with `args` (the last one its port, COMn), once it said
// "ready COMn" or `seconds` passed; what it said is in `said`.
inline Child StartSim(const std::string& program, const std::vector<std::string>& args, const Launch& how,
                      std::string& said, int seconds) {
  Child sim = Start(program, args, how);
  if (sim.pid > 0) ReadUntil(sim.out, said, "ready " + args.back(), seconds);
  return sim;
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

}  // namespace corv::testing
