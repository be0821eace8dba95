// The Win32 side of the held record: its entries as the abort handler reads
// them, and the registrations of the things only this folder takes (the port's
// handle, the log's handles, the console's mode). The handler of a console
// event runs on a thread of its own; it stops the run's thread before it reads
// the record, so the record is read as a POSIX signal reads it: between two
// steps of the run. A field is complete before the entry says it is held, and
// the entry is let go only after its last step.
//
// The stopped thread may be inside a call on the port or the log, and Windows
// serializes every call on a handle opened without overlapped I/O: the handler
// calls nothing on a handle the run uses, and allocates nothing (the thread
// may hold the heap's lock). It writes its log line through a handle of its
// own, removes the lock file by closing the handle that deletes it, puts the
// console's mode back through a console handle of its own, and leaves the
// port to the end of the process, which cancels the pending read and closes
// it.
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
  // Port and log: the run's handle. Lock file: the handle that deletes the
  // file when it is closed. Terminal: the handler's own console input handle.
  HANDLE handle = INVALID_HANDLE_VALUE;
  // Log: the handler's own handle, writing at the end of the file only.
  HANDLE abortHandle = INVALID_HANDLE_VALUE;
  // Log: when it was opened (TickMs) and how its last line stands (a LogLine).
  volatile LONG openedMs = 0;
  volatile LONG line = 0;
  // Terminal: the console input mode as found.
  DWORD mode = 0;
  // Lock file: its path.
  char path[MAX_PATH] = {};

  // The system's fields made ready for a new registration.
  void Clear() {
    handle = INVALID_HANDLE_VALUE;
    abortHandle = INVALID_HANDLE_VALUE;
    openedMs = 0;
    line = 0;
    mode = 0;
    path[0] = '\0';
  }
};

// The port's handle, open and held exclusively by the system. While a port is
// held, a console's Quick Edit mode is off: a click in the window would
// otherwise start a selection that stops every console write of the run
// until it is cleared. The mode as found comes back with the last port.
Token HoldPort(HANDLE port);
// The log's handles, opened now: the run's and the handler's.
Token HoldLog(HANDLE log, HANDLE abortLog);
// The abort handler's way out: the lock file removed and the console's mode
// put back, each through a handle only the handler uses; the port and the
// log left to the end of the process.
void ReleaseForAbort();
// The registered entry of `token`, or null once it is given back.
Entry* Find(Token token);
// The first registered thing of `kind` that is not an owner's, or null.
const Entry* FindHeld(Kind kind);

// The system's tick count in milliseconds, wrapping at 32 bits.
uint32_t TickMs();

}  // namespace corv::held::win32
