// The held record on Windows: the table of entries (platform/held_table.h),
// the system's steps that give one thing back (the record's and the abort
// handler's), and the registrations of the port (with the console's Quick Edit
// mode), the log and the lock file.
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

bool PortHeldBesides(const Entry& port);
void GiveBackConsoleMode();

// The console's mode put back through the handle kept for it.
void PutBackConsoleMode(const Entry& e) { SetConsoleMode(e.handle, e.mode | ENABLE_EXTENDED_FLAGS); }

// The record's own giving back of one thing.
int GiveBackStep(Entry& e) {
  switch (e.kind) {
    case Kind::LockFile:
      // Closing the handle deletes the file; one that is still there (made
      // read-only since) is deleted by name.
      CloseHandle(e.handle);
      return GetFileAttributesA(e.path) == INVALID_FILE_ATTRIBUTES ? 0 : static_cast<int>(RemoveLockFile(e.path));
    case Kind::Port:
      PurgeComm(e.handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
      CloseHandle(e.handle);
      if (!PortHeldBesides(e)) GiveBackConsoleMode();
      return 0;
    case Kind::Log:
      CloseHandle(e.handle);
      CloseHandle(e.abortHandle);
      return 0;
    case Kind::Terminal:
      PutBackConsoleMode(e);
      CloseHandle(e.handle);
      return 0;
  }
  return 0;
}

// The abort handler's step: nothing on a handle the run's thread may be in,
// nothing that allocates. The end of the process closes the rest.
int AbortStep(Entry& e) {
  switch (e.kind) {
    case Kind::LockFile:
      CloseHandle(e.handle);
      return 0;
    case Kind::Terminal:
      PutBackConsoleMode(e);
      return 0;
    case Kind::Port:
    case Kind::Log:
      return 0;
  }
  return 0;
}

Table<Entry> table(GiveBackStep);

bool PortHeldBesides(const Entry& port) {
  const Entry* other = table.FindHeld(Kind::Port);
  return other && other != &port;
}

void GiveBackConsoleMode() {
  while (const Entry* e = table.FindHeld(Kind::Terminal)) table.GiveBack(*table.Find(e->token));
}

// Quick Edit off on the process's console, its mode as found held in the
// record; nothing without a console, or when the mode is held already.
void TakeConsoleMode() {
  if (table.FindHeld(Kind::Terminal)) return;
  const HANDLE in = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
  if (in == INVALID_HANDLE_VALUE) return;
  DWORD mode = 0;
  Entry* e = GetConsoleMode(in, &mode) ? table.Claim(Kind::Terminal) : nullptr;
  if (!e) {
    CloseHandle(in);
    return;
  }
  e->handle = in;
  e->mode = mode;
  table.Publish(e);
  SetConsoleMode(in, (mode | ENABLE_EXTENDED_FLAGS) & ~static_cast<DWORD>(ENABLE_QUICK_EDIT_MODE));
}

}  // namespace

Token HoldPort(HANDLE port) {
  Entry* e = table.Claim(Kind::Port);
  if (!e) return kNone;
  e->handle = port;
  const Token token = table.Publish(e);
  TakeConsoleMode();
  return token;
}

Token HoldLog(HANDLE log, HANDLE abortLog) {
  Entry* e = table.Claim(Kind::Log);
  if (e) {
    e->handle = log;
    e->abortHandle = abortLog;
    e->openedMs = static_cast<LONG>(TickMs());
  }
  return table.Publish(e);
}

void ReleaseForAbort() { table.ReleaseEverything(AbortStep); }

Entry* Find(Token token) { return table.Find(token); }

const Entry* FindHeld(Kind kind) { return table.FindHeld(kind); }

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
  // The file stays open until it goes, on a handle that deletes it when it is
  // closed: by the record, by the abort handler without a call that could
  // wait, or by the system when the process ends in any other way. Other
  // programs see it as a file that is there.
  const HANDLE h = CreateFileA(path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    error = static_cast<int>(GetLastError());
    return kNone;
  }
  Entry* e = table.Claim(Kind::LockFile);
  if (!e) {
    // Nowhere to note it: a lock file that no way out would remove is not made.
    CloseHandle(h);
    error = ERROR_TOO_MANY_OPEN_FILES;
    return kNone;
  }
  e->handle = h;
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
