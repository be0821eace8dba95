// The Win32 backend of the port seam: COM<N> is the device "\\.\COM<N>",
// opened with no sharing (held exclusively until it is closed, also while its
// line changes), synchronous reads and writes bounded by the comm time-outs.
#pragma once
#include <memory>
#include <string>

#include "platform/port.h"

namespace corv {

class Win32PortDriver : public PortDriver {
 public:
  std::unique_ptr<SerialPort> Open(int16_t port, const LineSettings& line, int16_t readTimeoutMs,
                                   OpenResult& result) override;
  // The device path of COM<port>; empty for a port number below 1.
  static std::string DevicePath(int16_t port);

 private:
  class Port;
};

}  // namespace corv
