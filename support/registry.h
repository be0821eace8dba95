// Machine-wide registry values, kept in the REGEDIT4 text file of the machine
// folder. One path names a value: the key path, a backslash, the value name (no
// backslash at all: the hive root's default value). Key paths and value names
// compare case-insensitively. Only string values are read; failures are silent.
#pragma once
#include <string>
#include <string_view>

namespace corv {

// The value's text; "" when the file, key or value is missing or not a string.
// The one value in use: the port of the last successful update, in decimal.
inline constexpr std::string_view kSavedPortPath = "SOFTWARE\\Oxlerand\\Corvanta\\CommPort";

std::string RegGetMachineString(std::string_view path);
// Stores a string value (the key is made when missing); an empty text deletes
// the value and keeps the key. A write the system refuses changes nothing.
void RegSetMachineString(std::string_view path, std::string_view text);

// The same on a given hive file.
std::string RegGetString(const std::string& hiveFile, std::string_view path);
void RegSetString(const std::string& hiveFile, std::string_view path, std::string_view text);

}  // namespace corv
