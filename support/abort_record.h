// The one process-wide record outside the run context: what the abort handler
// must release when a signal ends the run (the port's descriptor, the lock
// file's path, the log's descriptor, the terminal settings to restore).
// Async-signal-safe: plain storage written by the run as it goes, read only by
// the handler.
#pragma once
#include <termios.h>

#include <csignal>

namespace corv {

struct AbortRecord {
  volatile std::sig_atomic_t portFd = -1;  // open serial port, -1 when none
  volatile std::sig_atomic_t serialFlagsSaved = 0;  // serialFlags holds the port's flags to put back
  volatile std::sig_atomic_t serialFlags = 0;       // its driver flags (TIOCGSERIAL) as found
  volatile std::sig_atomic_t logFd = -1;   // open log file, -1 when none
  volatile std::sig_atomic_t lockSet = 0;  // lockPath holds a file to remove
  char lockPath[4096] = {};
  volatile std::sig_atomic_t terminalSaved = 0;  // savedTerminal holds the settings to restore
  struct termios savedTerminal = {};
};

AbortRecord& TheAbortRecord();

}  // namespace corv
