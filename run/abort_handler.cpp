// Only async-signal-safe calls: everything the handler releases is read from the
// abort record, which the run keeps up to date as it opens and closes things.
// The log line goes first and the console line last: a console that does not
// take output (a terminal stopped with Ctrl-S, a pipe nobody reads) must not
// keep the handler from the rest.
#include "run/abort_handler.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>

#include "link/posix_tty.h"
#include "support/abort_record.h"
#include "support/output.h"

namespace corv {

namespace {

constexpr int kAbortSignals[] = {SIGINT, SIGTERM, SIGABRT, SIGHUP, SIGQUIT};

void Say(int fd, const char* text, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, text, length);
    if (n <= 0) return;
    text += n;
    length -= static_cast<size_t>(n);
  }
}

// The console gets its line only while it takes output within a moment.
void SayOnConsole(const char* text, size_t length) {
  while (length > 0) {
    pollfd p{STDOUT_FILENO, POLLOUT, 0};
    if (poll(&p, 1, 200) != 1 || !(p.revents & POLLOUT)) return;
    ssize_t n = write(STDOUT_FILENO, text, length);
    if (n <= 0) return;
    text += n;
    length -= static_cast<size_t>(n);
  }
}

// "-- aborted" as a log line of its own: the open line ended first, the line
// stamped, and the stamp of the next line after it, as every line has.
size_t AbortedLogLine(const AbortRecord& rec, char* out) {
  static constexpr char kText[] = "-- aborted\r\n";
  const uint32_t ms = AbortTickMs() - static_cast<uint32_t>(rec.logOpenedMs);
  size_t n = 0;
  const std::sig_atomic_t line = rec.logLine;
  if (line == kLogLineOpen) {
    out[n++] = '\r';
    out[n++] = '\n';
  }
  if (line != kLogLineStamped) n += FormatLogStamp(ms, out + n);
  for (size_t i = 0; i + 1 < sizeof kText; ++i) out[n++] = kText[i];
  n += FormatLogStamp(ms, out + n);
  return n;
}

// The terminal is given back only while the run has it: from the background
// that would change the settings of whoever is in the foreground.
bool InForeground() {
  const pid_t group = tcgetpgrp(STDIN_FILENO);
  return group < 0 || group == getpgrp();
}

extern "C" void OnAbortSignal(int) {
  AbortRecord& rec = TheAbortRecord();
  int log = rec.logFd;
  if (log >= 0) {
    char line[64];
    Say(log, line, AbortedLogLine(rec, line));
  }
  // The lock file goes while the port is still ours, so that a run waiting for
  // the port never finds our file when it gets the port.
  if (rec.lockSet) unlink(rec.lockPath);
  int port = rec.portFd;
  if (port >= 0) {
    if (rec.serialFlagsSaved) posix_tty::PutBackLowLatency(port, rec.serialFlags);
    ioctl(port, TIOCNXCL);
    close(port);
  }
  if (log >= 0) close(log);
  if (rec.terminalSaved && InForeground()) tcsetattr(STDIN_FILENO, TCSANOW, &rec.savedTerminal);
  static constexpr char kConsole[] = "\n-- aborted\n";  // as the console sink shows CR LF
  SayOnConsole(kConsole, sizeof kConsole - 1);
  _exit(1);
}

}  // namespace

void InstallAbortHandler() {
  struct sigaction sa = {};
  sa.sa_handler = OnAbortSignal;
  sigfillset(&sa.sa_mask);  // one handler at a time
  for (int sig : kAbortSignals) {
    // A signal ignored when the program started (nohup, a background job of a
    // non-interactive shell) stays ignored, as the shells do it.
    struct sigaction old = {};
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    sigaction(sig, &sa, nullptr);
  }
}

}  // namespace corv
