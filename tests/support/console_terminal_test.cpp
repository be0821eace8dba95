// The terminal console as a job of its terminal: in a background process group
// the Escape test leaves the terminal alone (and the process is not stopped);
// brought to the foreground it takes the terminal. A pseudo-terminal is the
// controlling terminal of a session made for the test.
#include <fcntl.h>
#include <poll.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/console.h"

namespace corv {
namespace {

// What the job reports through its exit status.
enum : int {
  kTookTerminal = 10,   // canonical mode off after the Escape test
  kLeftTerminal = 11,   // still canonical
  kStopped = 20,        // stopped by the system
  kNoTerminal = 30,     // the test could not be set up
};

bool Canonical() {
  termios t{};
  return tcgetattr(STDIN_FILENO, &t) == 0 && (t.c_lflag & ICANON);
}

// In a new session on a pseudo-terminal: a job in a process group of its own
// runs the Escape test twice, first in the background and then, when
// `bringForward`, after the session leader gave it the foreground. The
// session leader ends with kStopped, or with ten times the first result plus
// the second.
int JobOnTerminal(bool bringForward) {
  const pid_t leader = fork();
  if (leader < 0) return -1;
  if (leader > 0) {
    int st = 0;
    waitpid(leader, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }
  alarm(20);
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) _exit(kNoTerminal);
  setsid();
  const int tty = open(ptsname(master), O_RDWR);
  if (tty < 0 || ioctl(tty, TIOCSCTTY, 0) != 0) _exit(kNoTerminal);
  dup2(tty, STDIN_FILENO);
  int go[2], said[2];
  if (pipe(go) != 0 || pipe(said) != 0) _exit(kNoTerminal);
  const pid_t job = fork();
  if (job < 0) _exit(kNoTerminal);
  if (job == 0) {
    setpgid(0, 0);
    Console& console = TerminalConsole();
    console.PollKey();
    const char first = Canonical() ? kLeftTerminal : kTookTerminal;
    if (write(said[1], &first, 1) != 1) _exit(kNoTerminal);
    char c;
    if (read(go[0], &c, 1) != 1) _exit(first);
    console.PollKey();
    const int second = Canonical() ? kLeftTerminal : kTookTerminal;
    console.Restore();
    _exit(second);
  }
  setpgid(job, job);
  int st = 0;
  char first = 0;
  // The job either says how the terminal stands or is stopped before it can.
  if (waitpid(job, &st, WUNTRACED | WNOHANG) == 0) {
    for (int i = 0; i < 200; ++i) {
      if (waitpid(job, &st, WUNTRACED | WNOHANG) == job) break;
      pollfd p{said[0], POLLIN, 0};
      if (poll(&p, 1, 10) == 1 && read(said[0], &first, 1) == 1) break;
    }
  }
  if (first == 0 && WIFSTOPPED(st)) {
    kill(job, SIGKILL);
    _exit(kStopped);
  }
  if (bringForward) {
    signal(SIGTTOU, SIG_IGN);
    tcsetpgrp(STDIN_FILENO, job);
  }
  if (write(go[1], "g", 1) != 1) _exit(kNoTerminal);
  waitpid(job, &st, 0);
  _exit(first * 10 + (WIFEXITED(st) ? WEXITSTATUS(st) : 0));
}

TEST(TerminalConsole, EscapeTestFromTheBackgroundLeavesTheTerminal) {
  EXPECT_EQ(JobOnTerminal(false), kLeftTerminal * 10 + kLeftTerminal);
}

TEST(TerminalConsole, JobBroughtToTheForegroundTakesTheTerminal) {
  EXPECT_EQ(JobOnTerminal(true), kLeftTerminal * 10 + kTookTerminal);
}

}  // namespace
}  // namespace corv
