// The held record: storage constant-initialised, so that the abort handler may
// read it at any moment of the process; registration, giving back one thing or
// all.
#include "platform/win32/held_record.h"

#include <cstring>
#include <functional>

namespace corv::held {

namespace win32 {
namespace {

// More than one run's worth: tests hold several things of a kind at once.
constexpr int kEntries = 16;
Entry entries[kEntries];
// Owners' ways of giving back; never touched by the abort handler.
std::function<void()> giveBacks[kEntries];
Token lastToken = kNone;

// A free entry made ready for `kind`; null when all are taken.
Entry* Claim(Kind kind) {
  for (Entry& e : entries) {
    if (e.held) continue;
    e.token = ++lastToken;
    e.kind = kind;
    e.owner = false;
    e.handle = INVALID_HANDLE_VALUE;
    e.openedMs = 0;
    e.line = 0;
    e.path[0] = '\0';
    return &e;
  }
  return nullptr;
}

Token Publish(Entry* e) {
  if (!e) return kNone;
  InterlockedExchange(&e->held, 1);
  return e->token;
}

DWORD RemoveLockFile(const char* path) {
  if (DeleteFileA(path)) return 0;
  // A read-only file is made writable and deleted once more.
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
    SetFileAttributesA(path, attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  return DeleteFileA(path) ? 0 : GetLastError();
}

// The record's own giving back; the entry is let go after the last step, so
// an abort in between repeats steps rather than skipping them.
int GiveBack(Entry& e) {
  DWORD err = 0;
  if (!e.owner) {
    switch (e.kind) {
      case Kind::LockFile:
        err = RemoveLockFile(e.path);
        break;
      case Kind::Port:
        PurgeComm(e.handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
        CloseHandle(e.handle);
        break;
      case Kind::Log:
        CloseHandle(e.handle);
        break;
      case Kind::Terminal:
        break;  // the console keeps no mode of ours
    }
  }
  InterlockedExchange(&e.held, 0);
  return static_cast<int>(err);
}

constexpr Kind kOrder[] = {Kind::LockFile, Kind::Port, Kind::Log, Kind::Terminal};

}  // namespace

Token HoldPort(HANDLE port) {
  Entry* e = Claim(Kind::Port);
  if (e) e->handle = port;
  return Publish(e);
}

Token HoldLog(HANDLE log) {
  Entry* e = Claim(Kind::Log);
  if (e) {
    e->handle = log;
    e->openedMs = static_cast<LONG>(TickMs());
  }
  return Publish(e);
}

Entry* Find(Token token) {
  if (token == kNone) return nullptr;
  for (Entry& e : entries) {
    if (e.held && e.token == token) return &e;
  }
  return nullptr;
}

const Entry* FindHeld(Kind kind) {
  for (const Entry& e : entries) {
    if (e.held && !e.owner && e.kind == kind) return &e;
  }
  return nullptr;
}

void ReleaseEverything() {
  for (Kind kind : kOrder) {
    for (Entry& e : entries) {
      if (e.held && e.kind == kind) GiveBack(e);
    }
  }
}

uint32_t TickMs() { return static_cast<uint32_t>(GetTickCount64()); }

}  // namespace win32

using win32::Entry;
using win32::Find;

bool Holds(Token token) { return Find(token) != nullptr; }

int Release(Token token) {
  Entry* e = Find(token);
  return e ? win32::GiveBack(*e) : 0;
}

void ReleaseAll() {
  // The owners first, kind by kind; each is forgotten before it is asked, so
  // that a way out taken while it gives back does not ask it again.
  for (Kind kind : win32::kOrder) {
    for (int i = 0; i < win32::kEntries; ++i) {
      Entry& e = win32::entries[i];
      if (!e.held || !e.owner || e.kind != kind) continue;
      std::function<void()> giveBack = std::move(win32::giveBacks[i]);
      win32::giveBacks[i] = nullptr;
      win32::GiveBack(e);
      if (giveBack) giveBack();
    }
  }
  win32::ReleaseEverything();
}

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
  Entry* e = win32::Claim(Kind::LockFile);
  if (!e) {
    // Nowhere to note it: a lock file that no way out would remove is not made.
    DeleteFileA(path.c_str());
    error = ERROR_TOO_MANY_OPEN_FILES;
    return kNone;
  }
  std::memcpy(e->path, path.c_str(), path.size() + 1);
  return win32::Publish(e);
}

void Owner::Take(Kind kind, std::function<void()> giveBack) {
  if (Held()) return;
  Entry* e = win32::Claim(kind);
  if (!e) return;
  e->owner = true;
  win32::giveBacks[e - win32::entries] = std::move(giveBack);
  token_ = win32::Publish(e);
}

void Owner::Drop() {
  if (Entry* e = Find(token_)) {
    win32::giveBacks[e - win32::entries] = nullptr;
    win32::GiveBack(*e);
  }
  token_ = kNone;
}

}  // namespace corv::held
