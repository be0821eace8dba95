// A TCP connection to a host on the network: connect with a time-out, send,
// and receive what is there within a time-out. The system's sockets stand
// behind it; the network port backend builds on it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace corv {

class TcpConnection {
 public:
  virtual ~TcpConnection() = default;
  // Sends every byte; false when the connection failed (Reason tells why).
  virtual bool SendAll(const uint8_t* data, size_t count) = 0;
  // Waits up to `timeoutMs` for bytes: the count received (1..count), 0 when
  // the time passed, -1 when the peer closed the connection or it failed.
  virtual int ReceiveSome(uint8_t* buf, size_t count, int timeoutMs) = 0;
  // The system's text for the last failure ("Connection closed by the server"
  // when the peer closed it).
  virtual std::string Reason() const = 0;
};

// Connects to `host` (a name or an address) at `port` within `timeoutMs`:
// the connection, or null with the system's reason in `reason`.
std::unique_ptr<TcpConnection> ConnectTcp(const std::string& host, uint16_t port, int timeoutMs,
                                          std::string& reason);

}  // namespace corv
