// The file layer: the line rule of text files, small text
// helpers, and running a child program from a command line. The system's side
// (files and folders, path texts, error texts, environment, local time, processes) comes
// with it from the platform headers.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/environment.h"
#include "platform/file_system.h"
#include "platform/local_time.h"
#include "platform/path_text.h"
#include "platform/process.h"
#include "platform/system_error.h"
#include "support/stream.h"

namespace corv {

// Longest line the reader gives whole; the rest of a longer line comes next.
inline constexpr size_t kMaxLineLength = 32001;

// The line of a text file held in `bytes` that starts at `pos`, without its line
// end: a CR LF pair, a CR alone or a LF alone ends a line. A line is cut after
// kMaxLineLength characters and its rest is the next line. `pos` moves past the
// line and its end; false once `pos` is at the end of the bytes.
bool NextLine(std::string_view bytes, size_t& pos, std::string_view& line);

// True when every character is 0..9 (an empty text is true).
bool AllDigits(std::string_view text);
// a..z turned into A..Z, other bytes unchanged.
std::string UpperCase(std::string_view text);
// Index of the first occurrence, or -1.
int Find(std::string_view text, std::string_view pattern, bool ignoreCase = false);
// Decimal with at least `digits` digits (leading zeros), "-" before negatives.
std::string NumberText(int32_t value, int digits);

// Most arguments a command line is split into (the list has one more slot for
// its end mark).
inline constexpr size_t kMaxArguments = 19;

// Splits at blanks; an argument that begins with a double quote runs through the
// next one and keeps its quotes. Arguments past kMaxArguments are dropped.
std::vector<std::string> SplitCommandLine(std::string_view commandLine);

// Splits the command line, starts its first argument (without its quotes) as a
// child process with the list as its arguments (each without its quotes), never
// through a shell, and waits for it: the child's exit status, 128 + S when signal S ended it, or a negative
// number when it could not be started.
int RunProgram(std::string_view commandLine);

}  // namespace corv
