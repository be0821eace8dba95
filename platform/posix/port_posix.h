// The termios backend of the port seam. COM<N> is the entry <machine folder>/com<N>
// (a link to a real device or to a pseudo-terminal, or a one-line text file
// naming a network port, rfc2217://HOST:PORT); the machine folder is
// $CORVANTAROOT, or /var/lib/corvanta when that is unset or empty, and only then
// does a missing entry fall back to /dev/ttyS<N-1>. Ports are held exclusively
// (flock and TIOCEXCL) until they are closed, also while their line changes.
#pragma once
#include <functional>
#include <memory>
#include <string>

#include "platform/port.h"
#include "platform/posix/posix_tty.h"

namespace corv {

class PosixPortDriver : public PortDriver {
 public:
  std::unique_ptr<SerialPort> Open(int16_t port, const LineSettings& line, int16_t readTimeoutMs,
                                   OpenResult& result) override;

  // The driver-flags word of an opened device (the device's own by default);
  // a test puts in an adapter that a pseudo-terminal cannot stand for.
  using SerialFlagsSource = std::function<std::unique_ptr<posix_tty::SerialFlags>(int fd)>;
  void SetSerialFlagsSource(SerialFlagsSource source) { serialFlags_ = std::move(source); }

  // The folder standing for this PC (COM ports and registry hive).
  // The device path of COM<port>; empty for a port number below 1.
  static std::string DevicePath(int16_t port);

 private:
  class Port;
  SerialFlagsSource serialFlags_ = posix_tty::DeviceSerialFlags;
};

}  // namespace corv
