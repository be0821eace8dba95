// The held record on Windows: the table of entries (platform/held_table.h),
// the system's step that gives one thing back, and the registrations of the
// port, the log and the lock file.
#include "platform/win32/held_record.h"

#include <cstring>

#include "platform/held_table.h"

namespace corv::held {

namespace win32 {
namespace {

DWORD RemoveLockFile(const char* path) {
  if (DeleteFileA(path)) return 0;
  // A read-only file is made writable and deleted once more.
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
    SetFileAttributesA(path, attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  return DeleteFileA(path) ? 0 : GetLastError();
}

// The record's own giving back of one thing.
int GiveBackStep(Entry& e) {
  switch (e.kind) {
    case Kind::LockFile:
      return static_cast<int>(RemoveLockFile(e.path));
    case Kind::Port:
      // A read the run's thread was stopped in ends with the purge.
      PurgeComm(e.handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
      CloseHandle(e.handle);
      return 0;
    case Kind::Log:
      CloseHandle(e.handle);
      return 0;
    case Kind::Terminal:
      return 0;  // the console keeps no mode of ours
  }
  return 0;
}

Table<Entry> table(GiveBackStep);

}  // namespace

Token HoldPort(HANDLE port) {
  Entry* e = table.Claim(Kind::Port);
  if (e) e->handle = port;
  return table.Publish(e);
}

Token HoldLog(HANDLE log) {
  Entry* e = table.Claim(Kind::Log);
  if (e) {
    e->handle = log;
    e->openedMs = static_cast<LONG>(TickMs());
  }
  return table.Publish(e);
}

Entry* Find(Token token) { return table.Find(token); }

const Entry* FindHeld(Kind kind) { return table.FindHeld(kind); }

void ReleaseEverything() { table.ReleaseEverything(); }

uint32_t TickMs() { return static_cast<uint32_t>(GetTickCount64()); }

}  // namespace win32

using win32::Entry;
using win32::table;

bool Holds(Token token) { return table.Find(token) != nullptr; }

int Release(Token token) {
  Entry* e = table.Find(token);
  return e ? table.GiveBack(*e) : 0;
}

void ReleaseAll() { table.ReleaseAll(); }

Token MakeLockFile(const std::string& path, int& error) {
  error = 0;
  if (path.size() >= sizeof(Entry::path)) {
    error = ERROR_FILENAME_EXCED_RANGE;
    return kNone;
  }
  const HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    error = static_cast<int>(GetLastError());
    return kNone;
  }
  CloseHandle(h);
  Entry* e = table.Claim(Kind::LockFile);
  if (!e) {
    // Nowhere to note it: a lock file that no way out would remove is not made.
    DeleteFileA(path.c_str());
    error = ERROR_TOO_MANY_OPEN_FILES;
    return kNone;
  }
  std::memcpy(e->path, path.c_str(), path.size() + 1);
  return table.Publish(e);
}

void Owner::Take(Kind kind, std::function<void()> giveBack) {
  if (Held()) return;
  token_ = table.TakeForOwner(kind, std::move(giveBack));
}

void Owner::Drop() {
  table.DropOwner(token_);
  token_ = kNone;
}

}  // namespace corv::held
