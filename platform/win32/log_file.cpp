// The log's file on a handle, held in the record from its making to its close.
#include "platform/log_file.h"

#include <windows.h>

#include "platform/win32/held_record.h"

namespace corv {

int LogFile::Create(const std::string& path, bool& exists) {
  Close();
  exists = false;
  const HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD err = GetLastError();
    exists = err == ERROR_FILE_EXISTS || err == ERROR_ALREADY_EXISTS;
    return static_cast<int>(err);
  }
  token_ = held::win32::HoldLog(h);
  if (token_ == held::kNone) {
    CloseHandle(h);
    return ERROR_TOO_MANY_OPEN_FILES;
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
