// The Win32 side of the held record: its entries as the abort handler reads
// them, and the registrations of the things only this folder takes (the port's
// handle, the log's handle). The handler of a console event runs on a thread
// of its own; it stops the run's thread before it reads the record, so the
// record is read as a POSIX signal reads it: between two steps of the run. A
// field is complete before the entry says it is held, and the entry is let go
// only after its last step.
#pragma once
#include <windows.h>

#include <cstdint>

#include "platform/held.h"

namespace corv::held::win32 {

struct Entry {
  volatile LONG held = 0;
  Token token = kNone;
  Kind kind = Kind::LockFile;
  bool owner = false;  // an owner's registration: nothing for the handler to do
  // Port and log: the handle.
  HANDLE handle = INVALID_HANDLE_VALUE;
  // Log: when it was opened (TickMs) and how its last line stands (a LogLine).
  volatile LONG openedMs = 0;
  volatile LONG line = 0;
  // Lock file: its path.
  char path[MAX_PATH] = {};

  // The system's fields made ready for a new registration.
  void Clear() {
    handle = INVALID_HANDLE_VALUE;
    openedMs = 0;
    line = 0;
    path[0] = '\0';
  }
};

// The port's handle, open and held exclusively by the system.
Token HoldPort(HANDLE port);
// The log's handle, opened now.
Token HoldLog(HANDLE log);
// The registered entry of `token`, or null once it is given back.
Entry* Find(Token token);
// The first registered thing of `kind` that is not an owner's, or null.
const Entry* FindHeld(Kind kind);

// The abort handler's way out: every registered thing given back by the
// record alone.
void ReleaseEverything();

// The system's tick count in milliseconds, wrapping at 32 bits.
uint32_t TickMs();

}  // namespace corv::held::win32
