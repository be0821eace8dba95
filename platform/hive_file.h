// The registry hive as a REGEDIT4 text file, where the POSIX build keeps the
// machine-wide values (platform/registry_store.h). One path names a value: the
// key path, a backslash, the value name (no backslash at all: the hive root's
// default value). Key paths and value names compare case-insensitively. Only
// string values are read; failures are silent.
#pragma once
#include <string>
#include <string_view>

#include "platform/registry_store.h"

namespace corv {

// The value's text; "" when the file, key or value is missing or not a string.
std::string RegGetString(const std::string& hiveFile, std::string_view path);
// Stores a string value (the key is made when missing); an empty text deletes
// the value and keeps the key. A write the system refuses changes nothing.
void RegSetString(const std::string& hiveFile, std::string_view path, std::string_view text);

}  // namespace corv
