// The process console on Windows. Output goes through WriteFile on standard
// output as the bytes stand (the console takes "\n" as a new line; a pipe gets
// what the Linux build writes). A key is read with _getch when standard input
// is a console, and as one byte with ReadFile otherwise, so a production
// line's piped answers work and the end of its input declines. The Escape test
// asks only a console (_kbhit); for a pipe or a file it answers false and reads
// nothing, so answers piped in for later questions are kept. _getch changes
// no console mode: there is nothing to give back (the Quick Edit mode belongs
// to the port, platform/win32/held_record.h). Ctrl-C at a question is the
// console's Ctrl-C event, not a key (platform/win32/console_keys.h).
#include <conio.h>
#include <windows.h>

#include "platform/console.h"
#include "platform/win32/console_keys.h"

namespace corv {

int console_keys::Next(int (*next)()) {
  for (;;) {
    const int key = next();
    if (key == 3) {
      GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
      continue;
    }
    // A function or arrow key comes as a prefix and a code; neither is a "Y".
    if (key == 0 || key == 0xE0) {
      next();
      return 0;
    }
    return key & 0xFF;
  }
}

namespace {
class WindowsConsole : public Console {
 public:
  void Write(std::string_view text) override {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    while (!text.empty()) {
      DWORD n = 0;
      if (!WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &n, nullptr) || n == 0) return;
      text.remove_prefix(n);
    }
  }

  void Flush() override {}

  int ReadKey() override {
    if (!InputIsConsole()) return ReadByte();
    return console_keys::Next(_getch);
  }

  int PollKey() override {
    if (!InputIsConsole() || !_kbhit()) return -1;
    return ReadKey();
  }

 private:
  static bool InputIsConsole() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
  }

  static int ReadByte() {
    unsigned char c = 0;
    DWORD n = 0;
    // End of input, a broken pipe or no input at all: never waited for again.
    if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), &c, 1, &n, nullptr) || n != 1) return -1;
    return c;
  }
};
}  // namespace

Console& TerminalConsole() {
  static WindowsConsole console;
  return console;
}

}  // namespace corv
