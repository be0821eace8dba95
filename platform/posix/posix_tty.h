// The device-control steps of the termios backend, kept apart because the
// kernel's termios2 definitions (any integer rate through BOTHER) cannot share
// a file with <termios.h>. Each step returns 0 or the errno of the failure.
#pragma once
#include <csignal>
#include <cstdint>
#include <memory>

#include "platform/port.h"

namespace corv::posix_tty {

// Raw 8-bit line, two stop bits unless 1 is asked, no or even (odd) parity,
// CLOCAL | CREAD, CTS output flow when asked, DTR and RTS raised. A rate of 0
// or below, or one the device reports back otherwise than asked, is refused
// with EINVAL.
int ApplyLine(int fd, const LineSettings& line);
// The read-back rule: 0 when the device reports the rate asked for (an input
// rate of 0 means the same as the output rate), else EINVAL. Many adapters
// accept a rate and then make the nearest one they can, which the unit would
// not understand.
int CheckRateReadBack(int32_t asked, uint32_t outSpeed, uint32_t inSpeed);
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

// --- Low latency. A USB serial adapter holds received bytes for a latency
// timer (16 ms by default on common chips), which costs a stop-and-wait
// exchange up to that per reply; the driver's low-latency flag makes it 1 ms.

// The driver's flags word (TIOCGSERIAL / TIOCSSERIAL), a seam for the tests.
class SerialFlags {
 public:
  virtual ~SerialFlags() = default;
  // 0 with the flags, or the errno.
  virtual int Get(int& flags) = 0;
  virtual int Set(int flags) = 0;
};
extern const int kLowLatencyFlag;  // ASYNC_LOW_LATENCY

struct LatencyRequest {
  enum class Result {
    NotSupported,  // no such settings (a pseudo-terminal, a driver without them)
    AlreadyOn,     // nothing changed, nothing to undo
    Set,           // turned on here; undo it on close
    Refused,       // the device has the settings but refused the change
  };
  Result result = Result::NotSupported;
  int error = 0;  // errno of the refused change
};
// Where the flags as found are kept for a way out that cannot reach the port
// object: the port's entry in the held record (plain storage, see
// platform/posix/held_record.h).
struct KeptFlags {
  volatile std::sig_atomic_t& saved;  // 1 while `flags` is to be put back
  volatile std::sig_atomic_t& flags;
};
// Turns the low-latency flag on, keeping every other flag. Never fails: a
// device without it simply stays as it is. The flags as found are kept before
// anything changes and for as long as there is something to undo, so that a
// signal at any moment can put them back.
LatencyRequest AskLowLatency(SerialFlags& device, KeptFlags kept);
// Clears the flag again when AskLowLatency set it, then forgets the kept
// flags; 0 or the errno.
int UndoLowLatency(SerialFlags& device, const LatencyRequest& request, KeptFlags kept);
// The flags word of an open device.
std::unique_ptr<SerialFlags> DeviceSerialFlags(int fd);
// The held record's undo: the low-latency flag as it was in `savedFlags`,
// every other flag as the device has it now. Async-signal-safe (two ioctls).
void PutBackLowLatency(int fd, int savedFlags);

}  // namespace corv::posix_tty
