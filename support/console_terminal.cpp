// The process console on standard input and output. Output is written through
// at once: a partial line (a prompt, progress marks before a wait for the unit)
// reaches a pipe before the program waits, as every whole line does.
// On a terminal, keys are read in non-canonical mode without echo; the mode is
// kept while the run polls for Escape and given back by Restore. The terminal
// is taken only while the process is in its foreground process group: a run
// in the background would be stopped (SIGTTOU) for changing it, so there the
// Escape test answers false as for a pipe, and a run brought to the
// foreground takes the terminal then.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "support/abort_record.h"
#include "support/console.h"
#include "support/files.h"

namespace corv {

namespace {
class Terminal : public Console {
 public:
  ~Terminal() override { Restore(); }

  void Write(std::string_view text) override { WriteAll(STDOUT_FILENO, text); }

  void Flush() override {}

  int ReadKey() override {
    if (!isatty(STDIN_FILENO) || !InForeground()) return ReadByte();
    bool wasRaw = raw_;
    if (!TakeTerminal()) return ReadByte();
    int key = ReadByte();
    if (!wasRaw) Restore();
    return key;
  }

  int PollKey() override {
    if (!isatty(STDIN_FILENO) || !InForeground() || !TakeTerminal()) return -1;
    pollfd p{STDIN_FILENO, POLLIN, 0};
    if (poll(&p, 1, 0) != 1 || !(p.revents & POLLIN)) return -1;
    return ReadByte();
  }

  void Restore() override {
    if (!raw_) return;
    AbortRecord& rec = TheAbortRecord();
    rec.terminalSaved = 0;
    // From the background the settings are no longer ours to change: the shell
    // that took the terminal back has put its own.
    if (InForeground()) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
    raw_ = false;
  }

 private:
  static int ReadByte() {
    unsigned char c;
    for (;;) {
      ssize_t n = read(STDIN_FILENO, &c, 1);
      if (n == 1) return c;
      if (n < 0 && errno == EINTR) continue;
      return -1;  // end of input (or a failed read): never waited for again
    }
  }

  // True unless another process group has the terminal (one that is not our
  // controlling terminal has no foreground to be kept from).
  static bool InForeground() {
    const pid_t group = tcgetpgrp(STDIN_FILENO);
    return group < 0 || group == getpgrp();
  }

  // Non-canonical, no echo, one byte at a time; the old settings are noted in the
  // abort record so that a signal can give them back too. A run stopped and
  // continued finds the terminal as the shell left it and takes it anew.
  bool TakeTerminal() {
    termios now{};
    if (raw_ && tcgetattr(STDIN_FILENO, &now) == 0 && !(now.c_lflag & ICANON)) return true;
    if (raw_) return SetRaw();
    if (tcgetattr(STDIN_FILENO, &saved_) != 0) return false;
    AbortRecord& rec = TheAbortRecord();
    rec.savedTerminal = saved_;
    rec.terminalSaved = 1;
    if (SetRaw()) return true;
    rec.terminalSaved = 0;
    return false;
  }

  bool SetRaw() {
    termios t = saved_;
    t.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &t) != 0) return false;
    raw_ = true;
    return true;
  }

  termios saved_{};
  bool raw_ = false;
};
}  // namespace

Console& TerminalConsole() {
  static Terminal console;
  return console;
}

}  // namespace corv
