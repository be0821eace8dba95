// The one process-wide record outside the run context: what the abort handler
// must release when a signal ends the run (the port's descriptor, the lock
// file's path, the log's descriptor, the terminal settings to restore).
// Async-signal-safe: plain storage written by the run as it goes, read only by
// the handler.
#pragma once
#include <termios.h>

#include <csignal>
#include <cstdint>

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

  // How the log file ends, so that the handler's line follows it as the run's
  // own lines do: the moment the log was opened (AbortTickMs) and the state of
  // its last line.
  volatile std::sig_atomic_t logOpenedMs = 0;
  volatile std::sig_atomic_t logLine = 0;  // a LogLine value
};

enum LogLine : std::sig_atomic_t {
  kLogLineStamped = 0,  // the file ends with the stamp that opens the next line
  kLogLineBare = 1,     // a new line without its stamp (right after the program's path)
  kLogLineOpen = 2,     // text after the last line end
};

AbortRecord& TheAbortRecord();

// CLOCK_MONOTONIC in milliseconds, wrapping at 32 bits (the system clock's tick
// count). Async-signal-safe.
uint32_t AbortTickMs();

}  // namespace corv
