// The console seam: text out, one key in, and the non-waiting key test used for
// Escape. The terminal implementation keeps a terminal in non-canonical mode while
// the run lasts and restores it on every way out; the scripted one serves tests.
#pragma once
#include <string>
#include <string_view>

namespace corv {

class Console {
 public:
  virtual ~Console() = default;
  // Writes text as given (the console sink has already turned CR into '\n' and
  // dropped LF). Written through at every line end.
  virtual void Write(std::string_view text) = 0;
  // Pushes out anything not yet written; called before every wait.
  virtual void Flush() = 0;
  // Waits for one key and returns it (0..255); -1 at end of input.
  virtual int ReadKey() = 0;
  // A key already waiting (0..255), or -1; never waits. Answers -1 and reads
  // nothing when the input is not a terminal.
  virtual int PollKey() = 0;
  // Gives the terminal back as it was found; called on every way out and before
  // a child process takes the console. A later PollKey takes it again.
  virtual void Restore() {}
};

// The process console on standard input and output.
Console& TerminalConsole();

// A console for tests: keys come from a script, output is captured.
class ScriptedConsole : public Console {
 public:
  explicit ScriptedConsole(std::string keys = {}) : keys_(std::move(keys)) {}
  void Write(std::string_view text) override { output_.append(text), ++writes_; }
  void Flush() override {}
  int ReadKey() override {
    if (next_ >= keys_.size()) return -1;
    return static_cast<unsigned char>(keys_[next_++]);
  }
  // Keys queued with Press() stand for keys typed while the run waits on the unit.
  int PollKey() override {
    if (pressed_.empty()) return -1;
    int k = static_cast<unsigned char>(pressed_.front());
    pressed_.erase(0, 1);
    return k;
  }
  void Press(char key) { pressed_.push_back(key); }
  void Restore() override { ++restores_; }
  // How often the console was given back (every way out does it).
  int Restores() const { return restores_; }
  const std::string& Output() const { return output_; }
  // The writes since the output was last cleared.
  int Writes() const { return writes_; }
  void ClearOutput() { output_.clear(), writes_ = 0; }

 private:
  std::string keys_;
  size_t next_ = 0;
  std::string pressed_;
  std::string output_;
  int writes_ = 0;
  int restores_ = 0;
};

}  // namespace corv
