// The machine-wide registry: string values named by a path, the key path, a
// backslash and the value name (no backslash at all: the root's default value).
// Key paths and value names compare case-insensitively. On Windows the values
// are those of the 32-bit view, which the product line's other (32-bit) tools
// read and write. A read's failure is silent.
#pragma once
#include <string>
#include <string_view>

namespace corv {

// The one value in use: the port of the last successful update, in decimal.
inline constexpr std::string_view kSavedPortPath = "SOFTWARE\\Oxlerand\\Corvanta\\CommPort";

// The value's text; "" when the key or value is missing or not a string.
std::string RegGetMachineString(std::string_view path);
// Stores a string value (the key is made when missing); an empty text deletes
// the value and keeps the key. A write the system refuses changes nothing: 0,
// or the system's error number of a write refused for lack of rights (the
// hive file of the Linux build fails silently).
int RegSetMachineString(std::string_view path, std::string_view text);

}  // namespace corv
