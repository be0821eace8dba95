// The log's file on two handles, held in the record from its making to its
// close: the run writes through one; the abort handler appends its line
// through the other, so that it never waits for a write the run's stopped
// thread was in (Windows serializes the calls on one synchronous handle).
#include "platform/log_file.h"

#include <windows.h>

#include "platform/win32/held_record.h"

namespace corv {

int LogFile::Create(const std::string& path, bool& exists) {
  Close();
  exists = false;
  const HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD err = GetLastError();
    exists = err == ERROR_FILE_EXISTS || err == ERROR_ALREADY_EXISTS;
    return static_cast<int>(err);
  }
  // Append-only access: every write lands at the end of the file, wherever
  // the run's handle stands.
  const HANDLE tail = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD err = tail == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  if (err == 0) {
    token_ = held::win32::HoldLog(h, tail);
    if (token_ == held::kNone) {
      err = ERROR_TOO_MANY_OPEN_FILES;
      CloseHandle(tail);
    }
  }
  if (err != 0) {
    // A log the abort handler could not end is not made.
    CloseHandle(h);
    DeleteFileA(path.c_str());
    return static_cast<int>(err);
  }
  Note(LogLine::Bare);
  return 0;
}

void LogFile::Write(std::string_view text) {
  const held::win32::Entry* e = held::win32::Find(token_);
  if (!e) return;
  while (!text.empty()) {
    DWORD n = 0;
    if (!WriteFile(e->handle, text.data(), static_cast<DWORD>(text.size()), &n, nullptr) || n == 0) return;
    text.remove_prefix(n);
  }
}

void LogFile::Note(LogLine line) {
  if (held::win32::Entry* e = held::win32::Find(token_)) e->line = static_cast<LONG>(line);
}

void LogFile::Close() {
  held::Release(token_);
  token_ = held::kNone;
}

}  // namespace corv
