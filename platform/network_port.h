// Serial ports behind a serial device server, named rfc2217://HOST:PORT: the
// name's reading, and the port itself, which speaks Telnet with the com-port
// option (RFC 2217) to the server and gives the link the same operations, with
// the same results, as a local port. Every read waits the port's time-out plus
// the network's round trip, measured at the connection and kept current from
// the server's answers.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/port.h"
#include "platform/tcp_connection.h"

namespace corv {

struct NetworkPortName {
  std::string host;
  uint16_t port = 0;
};

// True when `text` begins with rfc2217:// (in any case): a network port name,
// well formed or not.
bool IsNetworkPortName(std::string_view text);
// rfc2217://HOST:PORT (HOST a name, an IPv4 address or a bracketed IPv6
// address; PORT 1..65535) read into `name`; false when it is not of that form.
bool ReadNetworkPortName(std::string_view text, NetworkPortName& name);

// How long a connection and each of the server's answers may take beyond
// the round trip before the server counts as silent.
inline constexpr int kServerAnswerMs = 5000;
// How long the server's first words are waited for before the client speaks.
inline constexpr int kGreetingMs = 1000;

// The port on `connection` (connected to the server) with its line set to
// `line`: null with `result` telling why (the server's "in use" text is a busy
// port; a value read back other than the one asked for is a refused setting).
std::unique_ptr<SerialPort> StartNetworkPort(std::unique_ptr<TcpConnection> connection, const LineSettings& line,
                                             int16_t readTimeoutMs, const PortDriver::ErrorHook& hook,
                                             OpenResult& result);

// Connects to the server the name gives and starts the port there: null with
// `result` telling why (a connection refused or timed out names the host, the
// port and the system's reason).
std::unique_ptr<SerialPort> OpenNetworkPort(std::string_view name, const LineSettings& line, int16_t readTimeoutMs,
                                            const PortDriver::ErrorHook& hook, OpenResult& result);

}  // namespace corv
