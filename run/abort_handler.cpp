// Only async-signal-safe calls: everything the handler releases is read from the
// abort record, which the run keeps up to date as it opens and closes things.
#include "run/abort_handler.h"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <initializer_list>

#include "link/posix_tty.h"
#include "support/abort_record.h"

namespace corv {

namespace {

void Say(int fd, const char* text, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, text, length);
    if (n <= 0) return;
    text += n;
    length -= static_cast<size_t>(n);
  }
}

extern "C" void OnAbortSignal(int) {
  AbortRecord& rec = TheAbortRecord();
  static constexpr char kConsole[] = "\n-- aborted\n";  // as the console sink shows CR LF
  static constexpr char kLog[] = "\r\n-- aborted\r\n";
  Say(STDOUT_FILENO, kConsole, sizeof kConsole - 1);
  int log = rec.logFd;
  if (log >= 0) Say(log, kLog, sizeof kLog - 1);
  int port = rec.portFd;
  if (port >= 0) {
    if (rec.serialFlagsSaved) posix_tty::PutBackLowLatency(port, rec.serialFlags);
    ioctl(port, TIOCNXCL);
    close(port);
  }
  if (rec.lockSet) unlink(rec.lockPath);
  if (log >= 0) close(log);
  if (rec.terminalSaved) tcsetattr(STDIN_FILENO, TCSANOW, &rec.savedTerminal);
  _exit(1);
}

}  // namespace

void InstallAbortHandler() {
  struct sigaction sa = {};
  sa.sa_handler = OnAbortSignal;
  sigfillset(&sa.sa_mask);  // one handler at a time
  for (int sig : {SIGINT, SIGTERM, SIGABRT, SIGHUP, SIGQUIT}) sigaction(sig, &sa, nullptr);
}

}  // namespace corv
