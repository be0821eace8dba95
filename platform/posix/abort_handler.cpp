// The abort handler on POSIX signals. Only async-signal-safe calls: what the
// handler gives back is read from the held record, which the run keeps up to
// date as it takes and gives back things. The log line goes first and the
// console line last: a console that does not take output (a terminal stopped
// with Ctrl-S, a pipe nobody reads) must not keep the handler from the rest.
#include "platform/abort_handler.h"

#include <poll.h>
#include <unistd.h>

#include <csignal>

#include "platform/log_file.h"
#include "platform/posix/held_record.h"

namespace corv {

namespace {

using held::posix::Entry;

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

extern "C" void OnAbortSignal(int) {
  if (const Entry* log = held::posix::FindHeld(held::Kind::Log)) {
    char line[64];
    const uint32_t ms = held::posix::TickMs() - static_cast<uint32_t>(log->openedMs);
    Say(log->fd, line, FormatAbortedLogLine(ms, static_cast<LogLine>(log->line), line));
  }
  held::posix::ReleaseEverything();
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
