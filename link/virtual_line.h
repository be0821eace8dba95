// The virtual line: an in-process null-modem between the program (through the
// PortDriver seam) and a far end (a unit model or a test script), on virtual
// time. Each byte takes (1 start + 8 data + parity + 2 stop) / baud seconds on the
// wire, each direction on its own; reads wait in virtual time for their count or
// their time-out; bytes sent at another rate or parity than the receiver's are
// garbage to it; the far end drives CTS; faults can be injected either way.
#pragma once
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <vector>

#include "link/port.h"
#include "support/clock.h"

namespace corv {

class VirtualLine;

// What sits at the far end of a virtual line.
class LineEnd {
 public:
  virtual ~LineEnd() = default;
  // One byte from the program has fully arrived (its last stop bit ended at
  // `atUs`). Called in time order, lazily: before the program can observe
  // anything later than `atUs`.
  virtual void OnByte(VirtualLine& line, uint64_t atUs, uint8_t byte) = 0;
};

// Fault injection on one direction of the line.
struct LineFaults {
  // Bytes counted from 0 in this direction since the line was made.
  std::vector<uint64_t> dropAt;     // these bytes vanish
  std::vector<uint64_t> corruptAt;  // these bytes arrive with one bit flipped
  std::vector<uint64_t> insertBefore;  // a stray byte arrives before these bytes
  double errorRate = 0;             // per byte: chance of one flipped bit
  uint64_t seed = 1;
};

class VirtualLine {
 public:
  explicit VirtualLine(VirtualClock& clock);
  ~VirtualLine();
  VirtualLine(const VirtualLine&) = delete;
  VirtualLine& operator=(const VirtualLine&) = delete;

  VirtualClock& Clock() { return clock_; }

  // --- The far end's side.
  void Attach(LineEnd* end) { end_ = end; }
  // The rate and parity the far end listens and talks at.
  void SetFarLine(int32_t baud, bool evenParity);
  int32_t FarBaud() const { return farBaud_; }
  // Queues bytes towards the program; they go on the wire no earlier than
  // `atUs` and after whatever the far end is still sending.
  void FarSend(uint64_t atUs, const uint8_t* data, size_t n);
  // When the far end's transmitter will be idle.
  uint64_t FarIdleAt() const { return farTxFreeAt_; }
  void SetCts(bool on) { cts_ = on; }
  // The program's line as the far end could measure it.
  bool HostOpen() const { return hostOpen_; }
  int32_t HostBaud() const { return host_.baud; }
  bool HostParity() const { return host_.parity; }
  // Drops everything in flight towards the program (a unit that resets).
  void FarFlush();

  // --- Faults.
  LineFaults toFar;   // program -> far end
  LineFaults toHost;  // far end -> program
  // Adds `us` to the delivery of the reply bytes sent from now on (late replies).
  uint64_t extraReplyDelayUs = 0;

  // --- The program's side, used by the driver's port object.
  bool OpenHost(const LineSettings& line, int16_t readTimeoutMs);
  void CloseHost();
  void PurgeHost();
  int SetHostLine(const LineSettings& line);
  int HostReceive(uint8_t* buf, uint16_t count);
  int HostTransmit(const uint8_t* data, uint16_t count);
  int HostCts();

  // Wire time of one byte in microseconds at a rate and parity.
  static uint64_t ByteTimeUs(int32_t baud, bool parity);

  // Counters for tests and benchmarks.
  uint64_t BytesToFar() const { return sentToFar_; }
  uint64_t BytesToHost() const { return sentToHost_; }

 private:
  struct InFlight {
    uint64_t arriveUs;
    uint8_t byte;
  };
  void RunUntil(uint64_t us);
  uint8_t Damage(LineFaults& f, uint64_t index, uint8_t byte, bool& drop, bool& stray, uint8_t& strayByte);

  VirtualClock& clock_;
  LineEnd* end_ = nullptr;
  LineSettings host_{};
  bool hostOpen_ = false;
  int16_t readTimeoutMs_ = 0;
  int32_t farBaud_ = 19200;
  bool farParity_ = false;
  bool cts_ = false;
  uint64_t hostTxFreeAt_ = 0;
  uint64_t farTxFreeAt_ = 0;
  std::deque<InFlight> toFarQueue_;
  std::deque<InFlight> toHostQueue_;
  uint64_t sentToFar_ = 0, sentToHost_ = 0;
  uint64_t rngFar_ = 0, rngHost_ = 0;
};

// Ports COM<n> backed by virtual lines; a port without a line is not present.
class VirtualPortDriver : public PortDriver {
 public:
  explicit VirtualPortDriver(VirtualClock& clock) : clock_(clock) {}
  VirtualLine& AddLine(int16_t port);
  VirtualLine* Line(int16_t port);
  // A port held by another program: opens fail as busy while set.
  void SetBusy(int16_t port, bool busy);
  // Refuse a rate on a port (an adapter that cannot make it).
  void RefuseRate(int16_t port, int32_t baud);
  std::unique_ptr<SerialPort> Open(int16_t port, const LineSettings& line, int16_t readTimeoutMs,
                                   OpenResult& result) override;

 private:
  VirtualClock& clock_;
  std::map<int16_t, std::unique_ptr<VirtualLine>> lines_;
  std::map<int16_t, bool> busy_;
  std::map<int16_t, std::vector<int32_t>> refused_;
};

}  // namespace corv
