// termios2 line configuration, flush, exclusive flag, error counters and CTS
// through the kernel's own ioctl definitions.
#include "platform/posix/posix_tty.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <atomic>
#include <cerrno>

namespace corv::posix_tty {
namespace {

// Devices without modem lines or error counters (pseudo-terminals) refuse the
// request itself; that is an answer, not a failure.
bool NotSupported(int err) { return err == ENOTTY || err == EINVAL || err == EOPNOTSUPP; }

}  // namespace

int ApplyLine(int fd, const LineSettings& line) {
  if (line.baud <= 0) return EINVAL;
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) < 0) return errno;
  // Raw byte transfer, as cfmakeraw, with no end-of-file or flow characters.
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                                      IXANY | INPCK | IGNPAR);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= CS8 | CLOCAL | CREAD | BOTHER | (BOTHER << IBSHIFT);
  if (line.stopBits != 1) t.c_cflag |= CSTOPB;
  if (line.parity) {
    t.c_cflag |= PARENB;
    if (!line.even) t.c_cflag |= PARODD;
    t.c_iflag |= INPCK;
  }
  if (line.cts) t.c_cflag |= CRTSCTS;
  t.c_ispeed = static_cast<speed_t>(line.baud);
  t.c_ospeed = static_cast<speed_t>(line.baud);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (ioctl(fd, TCSETS2, &t) < 0) return errno;
  // A driver that cannot make the rate sets the nearest it can and reports
  // that one back (a pseudo-terminal reports what was set).
  struct termios2 back {};
  if (ioctl(fd, TCGETS2, &back) < 0) return errno;
  if (const int err = CheckRateReadBack(line.baud, back.c_ospeed, back.c_ispeed)) return err;
  int bits = TIOCM_DTR | TIOCM_RTS;
  if (ioctl(fd, TIOCMBIS, &bits) < 0 && !NotSupported(errno)) return errno;
  return 0;
}

int CheckRateReadBack(int32_t asked, uint32_t outSpeed, uint32_t inSpeed) {
  if (asked <= 0) return EINVAL;
  const auto want = static_cast<uint32_t>(asked);
  if (outSpeed != want || (inSpeed != 0 && inSpeed != want)) return EINVAL;
  return 0;
}

int Flush(int fd) { return ioctl(fd, TCFLSH, TCIOFLUSH) < 0 ? errno : 0; }

int SetExclusive(int fd, bool on) { return ioctl(fd, on ? TIOCEXCL : TIOCNXCL) < 0 ? errno : 0; }

int ReadErrorCounts(int fd, ErrorCounts& counts) {
  struct serial_icounter_struct c {};
  if (ioctl(fd, TIOCGICOUNT, &c) < 0) {
    const int err = errno;
    counts = ErrorCounts{};
    return NotSupported(err) ? 0 : err;
  }
  counts.available = true;
  counts.frame = static_cast<uint32_t>(c.frame);
  counts.overrun = static_cast<uint32_t>(c.overrun) + static_cast<uint32_t>(c.buf_overrun);
  counts.parity = static_cast<uint32_t>(c.parity);
  counts.brk = static_cast<uint32_t>(c.brk);
  return 0;
}

int ReadCts(int fd, bool& on) {
  int bits = 0;
  on = false;
  if (ioctl(fd, TIOCMGET, &bits) < 0) return NotSupported(errno) ? 0 : errno;
  on = (bits & TIOCM_CTS) != 0;
  return 0;
}

// --- Low latency.

const int kLowLatencyFlag = ASYNC_LOW_LATENCY;

namespace {

// TIOCSSERIAL takes the whole structure: keep the rest as the device gave it.
class DeviceFlags : public SerialFlags {
 public:
  explicit DeviceFlags(int fd) : fd_(fd) {}
  int Get(int& flags) override {
    if (ioctl(fd_, TIOCGSERIAL, &s_) < 0) return errno;
    flags = s_.flags;
    return 0;
  }
  int Set(int flags) override {
    s_.flags = flags;
    return ioctl(fd_, TIOCSSERIAL, &s_) < 0 ? errno : 0;
  }

 private:
  int fd_;
  struct serial_struct s_ {};
};

// The handler may read the kept flags at any moment: the value is complete
// before the mark says so.
void Keep(KeptFlags kept, int flags) {
  kept.flags = flags;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  kept.saved = 1;
}

}  // namespace

LatencyRequest AskLowLatency(SerialFlags& device, KeptFlags kept) {
  using Result = LatencyRequest::Result;
  LatencyRequest r;
  int flags = 0;
  if (device.Get(flags) != 0) return r;  // no such settings here
  if (flags & kLowLatencyFlag) {
    r.result = Result::AlreadyOn;
    return r;
  }
  Keep(kept, flags);
  if (const int err = device.Set(flags | kLowLatencyFlag)) {
    kept.saved = 0;
    r.result = NotSupported(err) ? Result::NotSupported : Result::Refused;
    r.error = r.result == Result::Refused ? err : 0;
    return r;
  }
  r.result = Result::Set;
  return r;
}

int UndoLowLatency(SerialFlags& device, const LatencyRequest& request, KeptFlags kept) {
  if (request.result != LatencyRequest::Result::Set) return 0;
  int flags = 0;
  int err = device.Get(flags);
  if (err == 0) err = device.Set(flags & ~kLowLatencyFlag);
  // Done, or beyond doing (an adapter unplugged): nothing left for a signal.
  kept.saved = 0;
  return err;
}

std::unique_ptr<SerialFlags> DeviceSerialFlags(int fd) { return std::make_unique<DeviceFlags>(fd); }

void PutBackLowLatency(int fd, int savedFlags) {
  struct serial_struct s {};
  if (ioctl(fd, TIOCGSERIAL, &s) < 0) return;
  s.flags = (s.flags & ~kLowLatencyFlag) | (savedFlags & kLowLatencyFlag);
  ioctl(fd, TIOCSSERIAL, &s);
}

}  // namespace corv::posix_tty
