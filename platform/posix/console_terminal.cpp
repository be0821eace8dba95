// The process console on standard input and output. Output is written through
// at once: a partial line (a prompt, progress marks before a wait for the unit)
// reaches a pipe before the program waits, as every whole line does.
// On a terminal, keys are read in non-canonical mode without echo; the mode is
// kept while the run polls for Escape and given back by Restore. The terminal
// is taken only while the process is in its foreground process group: a run
// in the background would be stopped (SIGTTOU) for changing it, so there the
// Escape test answers false as for a pipe, and a run brought to the
// foreground takes the terminal then. The settings as found are held in the
// held record while the terminal is taken, so that every way out gives them
// back.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/held_record.h"
#include "platform/console.h"

namespace corv {

namespace {
class Terminal : public Console {
 public:
  ~Terminal() override { Restore(); }

  void Write(std::string_view text) override {
    while (!text.empty()) {
      const ssize_t n = write(STDOUT_FILENO, text.data(), text.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        return;
      }
      text.remove_prefix(static_cast<size_t>(n));
    }
  }

  void Flush() override {}

  int ReadKey() override {
    if (!isatty(STDIN_FILENO) || !InForeground()) return ReadByte();
    bool wasRaw = Raw();
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

  // The record puts the settings back (only from the foreground).
  void Restore() override {
    held::Release(held_);
    held_ = held::kNone;
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

  static bool InForeground() { return held::posix::InForeground(); }

  // Taken, and not given back by a way out since.
  bool Raw() const { return held::Holds(held_); }

  // Non-canonical, no echo, one byte at a time; the old settings are held in
  // the record so that every way out, a signal too, gives them back. A run
  // stopped and continued finds the terminal as the shell left it and takes it
  // anew.
  bool TakeTerminal() {
    termios now{};
    if (Raw() && tcgetattr(STDIN_FILENO, &now) == 0 && !(now.c_lflag & ICANON)) return true;
    if (Raw()) return SetRaw();
    if (tcgetattr(STDIN_FILENO, &saved_) != 0) return false;
    held_ = held::posix::HoldTerminal(saved_);
    if (held_ != held::kNone && SetRaw()) return true;
    held::Release(held_);
    held_ = held::kNone;
    return false;
  }

  bool SetRaw() {
    termios t = saved_;
    t.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return tcsetattr(STDIN_FILENO, TCSANOW, &t) == 0;
  }

  termios saved_{};
  held::Token held_ = held::kNone;
};
}  // namespace

Console& TerminalConsole() {
  static Terminal console;
  return console;
}

}  // namespace corv
