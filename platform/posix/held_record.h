// The POSIX side of the held record: its entries as the signal handler reads
// them, and the registrations of the things only this folder takes (the port's
// descriptor, the log's descriptor, the terminal settings). Everything here is
// plain storage written by the run as it goes: a field is complete before the
// entry says it is held, and the entry is let go only after its last step.
#pragma once
#include <termios.h>

#include <csignal>
#include <cstdint>

#include "platform/held.h"

namespace corv::held::posix {

struct Entry {
  volatile std::sig_atomic_t held = 0;
  Token token = kNone;
  Kind kind = Kind::LockFile;
  bool owner = false;  // an owner's registration: nothing for a signal to do
  // Port and log: the descriptor.
  volatile std::sig_atomic_t fd = -1;
  // Port: the exclusive flag may be set; the adapter's driver flags as found
  // are to be put back (flagsSaved) from `flags`.
  volatile std::sig_atomic_t exclusive = 0;
  volatile std::sig_atomic_t flagsSaved = 0;
  volatile std::sig_atomic_t flags = 0;
  // Log: when it was opened (TickMs) and how its last line stands (a LogLine).
  volatile std::sig_atomic_t openedMs = 0;
  volatile std::sig_atomic_t line = 0;
  // Lock file: its path.
  char path[4096] = {};
  // Terminal: the settings to restore.
  struct termios terminal = {};

  // The system's fields made ready for a new registration.
  void Clear() {
    fd = -1;
    exclusive = 0;
    flagsSaved = 0;
    flags = 0;
    openedMs = 0;
    line = 0;
    path[0] = '\0';
  }
};

// The port's descriptor, open and locked; the exclusive flag and the adapter's
// flags are noted on the entry as they change.
Token HoldPort(int fd);
// The log's descriptor, opened now.
Token HoldLog(int fd);
// The terminal's settings as found, to be put back.
Token HoldTerminal(const struct termios& saved);
// The registered entry of `token`, or null once it is given back.
Entry* Find(Token token);
// The first registered thing of `kind` that is not an owner's, or null.
const Entry* FindHeld(Kind kind);

// The signal's way out: every registered thing given back by the record alone.
void ReleaseEverything();

// CLOCK_MONOTONIC in milliseconds, wrapping at 32 bits (the system clock's tick
// count). Async-signal-safe.
uint32_t TickMs();
// True unless another process group has the terminal (one that is not our
// controlling terminal has no foreground to be kept from). Async-signal-safe.
bool InForeground();

}  // namespace corv::held::posix
