// The serial-port seam: the operations the unit link needs of a COM port, with
// a backend per system in the platform folder (platform/system_port.h gives it)
// and a virtual line (in-process, virtual time). Nothing above this interface
// touches the system.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace corv {

struct LineSettings {
  int32_t baud = 19200;
  uint8_t stopBits = 2;  // 1 selects one stop bit, anything else two
  bool parity = false;   // parity generation and checking
  bool even = false;     // with parity: even (callers pass the same flag for both)
  bool cts = false;      // output waits for CTS
};

// Why an open failed; the link turns these into its messages.
enum class OpenOutcome {
  Opened,
  NotPresent,      // no such port (Win32 2)
  Busy,            // held by another program (Win32 5 / 32)
  SettingRefused,  // the line configuration, typically the rate (Win32 87)
  OtherError,
};

struct OpenResult {
  OpenOutcome outcome = OpenOutcome::OtherError;
  int systemError = 0;     // errno of the failed step, 0 when none
  std::string errorText;   // "Error: " + the system's text for it
};

// An open port. Destroying it purges and closes it.
class SerialPort {
 public:
  virtual ~SerialPort() = default;
  // Discards pending input and output, then fetches and classifies line errors.
  virtual void Purge() = 0;
  // Purges, then writes the line configuration; non-zero on success, -1 on failure.
  virtual int SetLine(const LineSettings& line) = 0;
  // Leaves the port as a close and a new open at `line` and `readTimeoutMs`
  // would, without letting go of it: purge, the line configuration (read back),
  // the read time-out, purge. False with `result` telling why as a failed open
  // would; the port stays open and held either way.
  virtual bool Reconfigure(const LineSettings& line, int16_t readTimeoutMs, OpenResult& result) = 0;
  // Up to `count` bytes within the read time-out given at open: the count read
  // (short or 0 on time-out), or -1 after 11 failed attempts.
  virtual int Receive(uint8_t* buf, uint16_t count) = 0;
  // Writes in calls of at most 4096 bytes, at most 11 calls: the total, or -1.
  virtual int Transmit(const uint8_t* data, uint16_t count) = 0;
  // 1 when CTS is asserted, else 0.
  virtual int CtsOn() = 0;
  // The system's reason for the first read or write of this port that failed
  // (a device that went away, say), given once: empty before and after.
  virtual std::string TakeFailure() { return {}; }
  // The network's round trip a port behind a serial device server adds to
  // every read time-out, as last measured; -1 for a local port.
  virtual int RoundTripMs() const { return -1; }
};

// Opens numbered COM ports and carries the error hook. The ports it opens use
// its hook, so they must not outlive it.
class PortDriver {
 public:
  using ErrorHook = std::function<void(std::string_view)>;
  virtual ~PortDriver() = default;
  // The open port, or null with `result` telling why.
  virtual std::unique_ptr<SerialPort> Open(int16_t port, const LineSettings& line, int16_t readTimeoutMs,
                                           OpenResult& result) = 0;
  // A port named rather than numbered: rfc2217://HOST:PORT, a port behind a
  // serial device server (platform/network_port.h).
  virtual std::unique_ptr<SerialPort> OpenNamed(std::string_view name, const LineSettings& line,
                                                int16_t readTimeoutMs, OpenResult& result);
  // Reports (system error texts, line errors, traced bytes) go here; empty drops them.
  void SetErrorHook(ErrorHook hook) { hook_ = std::move(hook); }

 protected:
  void Report(std::string_view text) const {
    if (hook_) hook_(text);
  }
  // For the port objects, which report through the same slot.
  const ErrorHook& Hook() const { return hook_; }

 private:
  ErrorHook hook_;
};

// Line-error classification: the first flag that is set decides the one text.
struct LineErrors {
  bool frame = false, overrun = false, parity = false, brk = false, other = false;
};
// "Comm port framing error", ... or empty when no flag is set.
std::string_view ClassifyLineErrors(const LineErrors& e);

}  // namespace corv
