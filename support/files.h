// The file layer: path-text helpers, file operations that answer success or
// failure with the system's reason as text, environment values, whole-file reads
// and the line rule of text files, the local date-time record, and running a
// child program from a command line.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "support/stream.h"

namespace corv {

// "/", ":" and "\" all separate path parts; the separator appended is "/".
bool IsPathSeparator(char c);
// The text before the last separator ("C:\a\b.txt" gives "C:\a"), empty without one.
std::string DirectoryPart(std::string_view path);
// The path followed by "/" unless it already ends in a separator; "" gives "/".
std::string WithTrailingSeparator(std::string_view path);

// The system's text for an errno value (at most 255 characters).
std::string SystemReason(int errorNumber);
// "Error: " and SystemReason.
std::string SystemErrorText(int errorNumber);

// Each of these answers false on failure and then, when `error` is given,
// stores the reason there ("Invalid Filename", or SystemErrorText of errno).
bool FileExists(const std::string& name, std::string* error = nullptr);
// Deletes; when that fails, makes the file owner-writable and tries once more.
bool DeleteFile(const std::string& name, std::string* error = nullptr);
bool RenameFile(const std::string& from, const std::string& to, std::string* error = nullptr);
// One directory level.
bool MakeDirectory(const std::string& name, std::string* error = nullptr);
// Opens for writing (created or truncated, owner read-write): a descriptor or -1.
int CreateFile(const std::string& name, std::string* error = nullptr);
void CloseFile(int fd);
// Writes all of `data`, resuming after interrupted and short writes.
bool WriteAll(int fd, std::string_view data);

// The variable's value, or "" when it is not set.
std::string EnvironmentValue(const char* name);

// Reads the whole file into `bytes`; on failure the errno of the call that
// failed is in `errorNumber` (a folder fails too).
bool ReadWholeFile(const std::string& name, std::string& bytes, int& errorNumber);

// Longest line the reader gives whole; the rest of a longer line comes next.
inline constexpr size_t kMaxLineLength = 32001;

// The line of a text file held in `bytes` that starts at `pos`, without its line
// end: a CR LF pair, a CR alone or a LF alone ends a line. A line is cut after
// kMaxLineLength characters and its rest is the next line. `pos` moves past the
// line and its end; false once `pos` is at the end of the bytes.
bool NextLine(std::string_view bytes, size_t& pos, std::string_view& line);

// Local time now: year - 2000, month 1..12, day, hour, minute, second.
struct DateTime {
  uint8_t year = 0, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};
DateTime CurrentDateTime();

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
// child process with the list as its arguments, never through a shell, and waits
// for it: the child's exit status, 128 + S when signal S ended it, or a negative
// number when it could not be started.
int RunProgram(std::string_view commandLine);

}  // namespace corv
