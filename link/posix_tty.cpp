// termios2 line configuration, flush, exclusive flag, error counters and CTS
// through the kernel's own ioctl definitions.
#include "link/posix_tty.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdlib>

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
  // A driver that cannot make the rate sets the nearest it can; far off, the
  // unit would not understand it, so it counts as refused.
  struct termios2 back {};
  if (ioctl(fd, TCGETS2, &back) == 0 && back.c_ospeed != 0) {
    const long got = static_cast<long>(back.c_ospeed), want = line.baud;
    if (std::labs(got - want) * 100 > want * 3) return EINVAL;
  }
  int bits = TIOCM_DTR | TIOCM_RTS;
  if (ioctl(fd, TIOCMBIS, &bits) < 0 && !NotSupported(errno)) return errno;
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

}  // namespace corv::posix_tty
