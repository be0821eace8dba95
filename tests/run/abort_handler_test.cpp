// The abort handler in a child process: its log line stamped and placed as the
// run's own lines are, its console line, its exit status, and the signals that
// were ignored at start left ignored.
#include "platform/abort_handler.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "tests/common/scratch.h"

namespace corv {
namespace {

using testing::FakeRun;
using testing::ReadFile;
using testing::TempDir;

struct Ended {
  int status = -1;
  std::string console;
};

// Runs `body` in a child whose standard output is read here.
Ended InChild(const std::function<void()>& body) {
  int out[2];
  if (pipe(out) != 0) return {};
  const pid_t pid = fork();
  if (pid < 0) {
    close(out[0]);
    close(out[1]);
    return {};
  }
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    body();
    _exit(0);
  }
  close(out[1]);
  Ended e;
  char buf[256];
  for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) e.console.append(buf, static_cast<size_t>(n));
  close(out[0]);
  int st = 0;
  waitpid(pid, &st, 0);
  e.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return e;
}

TEST(AbortHandler, LogLineStampedAfterWhatTheRunWrote) {
  const struct {
    const char* name;
    int signal;
    std::function<void(Context&)> before;
    const char* log;  // a pattern for the whole file
  } cases[] = {
      {"in the middle of a line of marks", SIGINT,
       [](Context& c) {
         c.Notice() << "Searching for unit ID...\r\n";
         c.Notice() << "..";
       },
       R"(p\r\nSearching for unit ID\.\.\.\r\n000000: \.\.\r\n(\d{6}): -- aborted\r\n(\d{6}): )"},
      {"after a whole line", SIGTERM, [](Context& c) { c.Notice() << "Connecting to Corvanta unit...\r\n"; },
       R"(p\r\nConnecting to Corvanta unit\.\.\.\r\n000000: -- aborted\r\n(\d{6}): )"},
      {"before the first message", SIGHUP, [](Context&) {}, R"(p\r\n(\d{6}): -- aborted\r\n(\d{6}): )"},
  };
  for (const auto& k : cases) {
    TempDir dir("corv-abort");
    std::string log;
    const Ended e = InChild([&] {
      FakeRun r;
      if (!r.ctx.out.OpenLogAt(dir.path, "p", DateTime{})) _exit(99);
      k.before(r.ctx);
      InstallAbortHandler();
      usleep(30000);
      raise(k.signal);
      _exit(98);
    });
    EXPECT_EQ(e.status, 1) << k.name;
    EXPECT_EQ(e.console, "\n-- aborted\n") << k.name;
    for (const auto& f : std::filesystem::directory_iterator(dir.path)) log = ReadFile(f.path().string());
    std::smatch m;
    ASSERT_TRUE(std::regex_match(log, m, std::regex(k.log))) << k.name << ": " << log;
    // The handler's stamps count real milliseconds from the opening.
    const int last = std::stoi(m[m.size() - 1].str());
    EXPECT_GE(last, 30) << k.name;
    EXPECT_LT(last, 10000) << k.name;
  }
}

TEST(AbortHandler, SignalIgnoredAtStartStaysIgnored) {
  const Ended e = InChild([] {
    signal(SIGHUP, SIG_IGN);
    InstallAbortHandler();
    raise(SIGHUP);
    struct sigaction now = {};
    sigaction(SIGHUP, nullptr, &now);
    if (now.sa_handler == SIG_IGN && write(STDOUT_FILENO, "still here", 10) != 10) _exit(97);
    raise(SIGINT);
    _exit(98);
  });
  EXPECT_EQ(e.status, 1);
  EXPECT_EQ(e.console, "still here\n-- aborted\n");
}

}  // namespace
}  // namespace corv
