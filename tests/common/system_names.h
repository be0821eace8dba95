// What the tests expect of the system they run on: the separator the program
// appends to a folder, the system's error numbers for the refusals the tests
// provoke, and a program file's name.
#pragma once
#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#endif

#include <string>

#include "platform/conventions.h"

namespace corv::testing {

// The separator the program appends to a folder, as a text.
inline std::string Sep() { return std::string(1, AppendedSeparator()); }

#ifdef _WIN32
inline constexpr int kNoSuchFile = ERROR_FILE_NOT_FOUND;
inline constexpr int kNoSuchFolder = ERROR_PATH_NOT_FOUND;  // a folder on the way is missing
inline constexpr int kNameTaken = ERROR_FILE_EXISTS;
inline constexpr int kIsAFolder = ERROR_ACCESS_DENIED;  // a folder where a file was wanted
#else
inline constexpr int kNoSuchFile = ENOENT;
inline constexpr int kNoSuchFolder = ENOENT;
inline constexpr int kNameTaken = EEXIST;
inline constexpr int kIsAFolder = EISDIR;
#endif

// The file name of a program called `name`: with ".exe" on Windows.
inline std::string ProgramFile(const std::string& name) {
#ifdef _WIN32
  return name + ".exe";
#else
  return name;
#endif
}

}  // namespace corv::testing
