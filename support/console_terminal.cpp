// The process console on standard input and output. Output is written through
// at once: a partial line (a prompt, progress marks before a wait for the unit)
// reaches a pipe before the program waits, as every whole line does.
// On a terminal, keys are read in non-canonical mode without echo; the mode is
// kept while the run polls for Escape and given back by Restore.
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
    if (!isatty(STDIN_FILENO)) return ReadByte();
    bool wasRaw = raw_;
    if (!TakeTerminal()) return ReadByte();
    int key = ReadByte();
    if (!wasRaw) Restore();
    return key;
  }

  int PollKey() override {
    if (!isatty(STDIN_FILENO) || !TakeTerminal()) return -1;
    pollfd p{STDIN_FILENO, POLLIN, 0};
    if (poll(&p, 1, 0) != 1 || !(p.revents & POLLIN)) return -1;
    return ReadByte();
  }

  void Restore() override {
    if (!raw_) return;
    AbortRecord& rec = TheAbortRecord();
    rec.terminalSaved = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
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

  // Non-canonical, no echo, one byte at a time; the old settings are noted in the
  // abort record so that a signal can give them back too.
  bool TakeTerminal() {
    if (raw_) return true;
    if (tcgetattr(STDIN_FILENO, &saved_) != 0) return false;
    AbortRecord& rec = TheAbortRecord();
    rec.savedTerminal = saved_;
    rec.terminalSaved = 1;
    termios t = saved_;
    t.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &t) != 0) {
      rec.terminalSaved = 0;
      return false;
    }
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
