// The parameter file: "key=value" lines, read and rewritten one key at a time.
// Each call opens and closes the file. A CR LF pair, a CR or a LF ends a line,
// so files written on Windows and on Linux read alike. Keys compare byte for
// byte; the first matching line is read and every matching line is replaced.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "support/context.h"

namespace corv {

// The value text, or "" when the file or the key is missing. A file that exists
// but cannot be read, or that the system cannot look up (a folder on its way
// closed), ends the run with "Fatal error: <file>: <reason>" and status 1.
std::string ReadIniString(Context& ctx, const std::string& file, std::string_view key);
// Blanks skipped, optional "-", digits up to the first other character; 0 without.
int32_t ReadIniInt(Context& ctx, const std::string& file, std::string_view key);
// True for "1" and for any case of "true"; false otherwise and when missing.
bool ReadIniBool(Context& ctx, const std::string& file, std::string_view key);

// Replaces every line of the key with "key=value" (CR LF), or appends one, and
// keeps every other line as it was, its line end included. The file is replaced
// by a rename of "<file>.000" over it, so a crash leaves the old file or the new
// one whole. A replacement the system refuses ends the run with "INI File is
// locked: " and status 1; a file that cannot be read or a temporary file that
// cannot be written, with "Fatal error: <file>: <reason>" and status 1.
void WriteIniString(Context& ctx, const std::string& file, std::string_view key, std::string_view value);
void WriteIniInt(Context& ctx, const std::string& file, std::string_view key, int32_t value);
// Written as "true" or "false".
void WriteIniBool(Context& ctx, const std::string& file, std::string_view key, bool value);

}  // namespace corv
