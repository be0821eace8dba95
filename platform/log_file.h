// The log's file: made exclusively, written through as the text comes, and
// held in the held record from its making to its closing, with how its last
// line stands, so that the line a signal adds follows what the run wrote.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/held.h"

namespace corv {

// How the file's last line stands.
enum class LogLine : uint8_t {
  Stamped,  // the file ends with the stamp that opens the next line
  Bare,     // a new line without its stamp (right after the program's path)
  Open,     // text after the last line end
};

class LogFile {
 public:
  LogFile() = default;
  ~LogFile() { Close(); }
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Makes `path` for writing unless a file of that name is there already:
  // 0, or the system's error number (`exists` tells a clash apart).
  int Create(const std::string& path, bool& exists);
  // Open until closed here or given back by a way out.
  bool IsOpen() const { return held::Holds(token_); }
  // Writes all of `text` (nothing once the file is closed).
  void Write(std::string_view text);
  // Notes how the last line stands; given before the bytes that make it so
  // land, a signal in between adds a line end too many rather than joining its
  // line to the run's.
  void Note(LogLine line);
  void Close();

 private:
  held::Token token_ = held::kNone;
};

// The stamp that opens a log line: `ms` in decimal, zero-filled to six digits
// at least, and ": " (at most 12 characters). Async-signal-safe.
inline size_t FormatLogStamp(uint32_t ms, char* out) {
  char digits[10];
  size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + ms % 10);
    ms /= 10;
  } while (ms != 0);
  size_t len = 0;
  for (size_t i = n; i < 6; ++i) out[len++] = '0';
  while (n > 0) out[len++] = digits[--n];
  out[len++] = ':';
  out[len++] = ' ';
  return len;
}

// "-- aborted" as a log line of its own, `ms` after the log was opened, for a
// log whose last line stands as `line`: the open line ended first, the line
// stamped, and the stamp of the next line after it, as every line has (at most
// 40 characters). Async-signal-safe.
inline size_t FormatAbortedLogLine(uint32_t ms, LogLine line, char* out) {
  static constexpr char kText[] = "-- aborted\r\n";
  size_t n = 0;
  if (line == LogLine::Open) {
    out[n++] = '\r';
    out[n++] = '\n';
  }
  if (line != LogLine::Stamped) n += FormatLogStamp(ms, out + n);
  for (size_t i = 0; i + 1 < sizeof kText; ++i) out[n++] = kText[i];
  n += FormatLogStamp(ms, out + n);
  return n;
}

}  // namespace corv
