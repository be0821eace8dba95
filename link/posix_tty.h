// The device-control steps of the termios backend, kept apart because the
// kernel's termios2 definitions (any integer rate through BOTHER) cannot share
// a file with <termios.h>. Each step returns 0 or the errno of the failure.
#pragma once
#include <cstdint>

#include "link/port.h"

namespace corv::posix_tty {

// Raw 8-bit line, two stop bits unless 1 is asked, no or even (odd) parity,
// CLOCAL | CREAD, CTS output flow when asked, DTR and RTS raised. A rate of 0
// or below, or one the device cannot make within 3 %, is refused with EINVAL.
int ApplyLine(int fd, const LineSettings& line);
// Discards pending input and output.
int Flush(int fd);
// The exclusive-open flag (TIOCEXCL / TIOCNXCL).
int SetExclusive(int fd, bool on);

// Running line-error counts; `available` is false for a device without them
// (a pseudo-terminal), which then reports none.
struct ErrorCounts {
  bool available = false;
  uint32_t frame = 0, overrun = 0, parity = 0, brk = 0;
};
int ReadErrorCounts(int fd, ErrorCounts& counts);
// CTS; a device without modem lines answers not asserted.
int ReadCts(int fd, bool& on);

}  // namespace corv::posix_tty
