// The termios backend of the port seam. COM<N> is the entry <machine folder>/com<N>
// (a link to a real device or to a pseudo-terminal); the machine folder is
// $CORVANTAROOT, or /var/lib/corvanta when that is unset or empty, and only then
// does a missing entry fall back to /dev/ttyS<N-1>. Ports are held exclusively
// (flock and TIOCEXCL) until they are closed.
#pragma once
#include <memory>
#include <string>

#include "link/port.h"

namespace corv {

class PosixPortDriver : public PortDriver {
 public:
  std::unique_ptr<SerialPort> Open(int16_t port, const LineSettings& line, int16_t readTimeoutMs,
                                   OpenResult& result) override;

  // The folder standing for this PC (COM ports and registry hive).
  static std::string MachineFolder();
  // The device path of COM<port>; empty for a port number below 1.
  static std::string DevicePath(int16_t port);

 private:
  class Port;
};

}  // namespace corv
