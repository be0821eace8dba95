// The virtual line: an in-process null-modem between the program (through the
// PortDriver seam) and a far end (a unit model or a test script), on virtual
// time. Each byte takes (1 start + 8 data + parity + 2 stop) / baud seconds on the
// wire, each direction on its own; reads wait in virtual time for their count or
// their time-out; bytes sent at another rate or parity than the receiver's are
// garbage to it; the far end drives CTS; faults can be injected either way.
// On the program's receive side the line can stand for a USB serial adapter,
// which holds received bytes for its latency timer or until a USB packet fills.
#pragma once
#include <cstdint>
#include <cstddef>
#include <map>
#include <memory>
#include <vector>

#include "platform/port.h"
#include "platform/clock.h"

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
  // Called with the arrival time of each byte just before it is judged against
  // the far end's rate: a far end whose line changes with time alone (a unit
  // starting its software after a start-up window) sets it here.
  virtual void Settle(VirtualLine& /*line*/, uint64_t /*atUs*/) {}
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
  uint64_t FarIdleAt() const { return (farTxFreeNs_ + 999) / 1000; }
  // CTS as the far end drives it, from the moment of the event being handled
  // (inside OnByte) or from now; SetCtsAt schedules a change.
  void SetCts(bool on);
  void SetCtsAt(uint64_t atUs, bool on);
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

  // --- The adapter in front of the program's receiver.
  // A USB serial adapter holds the bytes it receives and hands them to the PC
  // when its latency timer, started by the first byte it holds, expires, or
  // when it holds a full USB packet of `packetBytes` payload bytes: then with
  // the byte that fills it. Latency 0 is a plain UART: each byte is there as
  // its stop bit ends. The PC's purge cannot reach bytes the adapter holds;
  // they arrive after it.
  static constexpr uint16_t kUsbPacketBytes = 62;
  void SetAdapter(uint32_t latencyUs, uint16_t packetBytes = kUsbPacketBytes);
  uint32_t AdapterLatencyUs() const { return static_cast<uint32_t>(latencyNs_ / 1000); }

  // --- The program's side, used by the driver's port object.
  bool OpenHost(const LineSettings& line, int16_t readTimeoutMs);
  void CloseHost();
  void PurgeHost();
  int SetHostLine(const LineSettings& line);
  void SetHostReadTimeout(int16_t ms);
  int HostReceive(uint8_t* buf, uint16_t count);
  int HostTransmit(const uint8_t* data, uint16_t count);
  int HostCts();
  // Fetches and clears the line errors the program's side has seen (bytes
  // received at a rate or parity other than the sender's count as framing errors).
  LineErrors FetchHostErrors();
  // When set, the size of every write call the program's side makes is appended.
  std::vector<uint16_t>* writeLog = nullptr;

  // Wire time of one byte in microseconds at a rate and parity.
  static uint64_t ByteTimeUs(int32_t baud, bool parity);
  // The same in nanoseconds, the line's own resolution.
  static uint64_t ByteTimeNs(int32_t baud, bool parity);
  static constexpr size_t kTxBufferSize = 4096;

  // Counters for tests and benchmarks.
  uint64_t BytesToFar() const { return sentToFar_; }
  uint64_t BytesToHost() const { return sentToHost_; }
  // The wire time of those bytes, each at the rate it was sent at.
  uint64_t WireNsToFar() const { return wireNsToFar_; }
  uint64_t WireNsToHost() const { return wireNsToHost_; }

 private:
  // A first-in first-out queue that keeps its storage (no allocation per byte).
  template <class T>
  class Fifo {
   public:
    bool empty() const { return head_ == items_.size(); }
    size_t size() const { return items_.size() - head_; }
    T& front() { return items_[head_]; }
    const T& front() const { return items_[head_]; }
    T& operator[](size_t i) { return items_[head_ + i]; }
    T& back() { return items_.back(); }
    void push_back(const T& v) {
      if (head_ > 0 && head_ == items_.size()) clear();
      if (head_ >= 4096 && head_ * 2 >= items_.size()) {
        items_.erase(items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
      }
      items_.push_back(v);
    }
    void pop_front() {
      if (++head_ == items_.size()) clear();
    }
    void pop_back() {
      items_.pop_back();
      if (head_ == items_.size()) clear();
    }
    void clear() {
      items_.clear();
      head_ = 0;
    }

   private:
    std::vector<T> items_;
    size_t head_ = 0;
  };
  struct Pending {  // in the program's transmit buffer
    uint64_t readyNs;
    uint8_t byte;
  };
  struct InFlight {  // on the wire towards the program, or held by the adapter
    uint64_t arriveNs;   // its stop bit has ended
    uint64_t deliverNs;  // the program can read it (the adapter lets it go)
    int32_t baud;  // the sender's line, to judge it against the receiver's
    uint8_t byte;
    bool parity;
  };
  struct CtsChange {
    uint64_t atNs;
    bool on;
  };
  static constexpr uint64_t kNever = ~uint64_t{0};

  uint64_t NowNs() const { return clock_.NowUs() * 1000; }
  uint64_t EventNs() const { return inEvent_ ? eventNs_ : NowNs(); }
  // Delivers every program byte that has fully arrived by `ns` to the far end.
  void RunUntil(uint64_t ns);
  // When the first byte of the transmit buffer will have fully arrived (kNever
  // while CTS flow holds it and no CTS change is known).
  uint64_t FrontArrival() const;
  uint64_t CtsReadyAt(uint64_t ns) const;
  bool CtsAt(uint64_t ns) const;
  void Deliver(uint64_t ns, uint8_t byte);
  void Queue(uint64_t& atNs, uint8_t byte, uint64_t byteNs);
  // Gives toHostQueue_[i], the newest byte of the adapter's packet, its
  // delivery time (and the whole packet's, when it fills it).
  void Hold(size_t i);
  // Groups the bytes from `from` on into packets anew, the first one opening
  // a packet (after bytes were withdrawn or the adapter changed).
  void Regroup(size_t from);
  // Applies drop / corrupt / insert to byte `index`; false when it vanishes.
  static bool Damage(const LineFaults& f, uint64_t index, uint8_t& byte, bool& stray, uint8_t& strayByte);
  uint8_t Garble(uint8_t byte, int32_t baud, bool parity) const;
  void PurgeInput(uint64_t nowNs);

  VirtualClock& clock_;
  LineEnd* end_ = nullptr;
  LineSettings host_{};
  bool hostOpen_ = false;
  int16_t readTimeoutMs_ = 0;
  uint64_t hostByteNs_ = 0;
  int32_t farBaud_ = 19200;
  bool farParity_ = false;
  uint64_t hostWireFreeNs_ = 0;  // the program's transmitter is idle from here
  uint64_t farTxFreeNs_ = 0;     // the far end's transmitter is idle from here
  bool inEvent_ = false;
  uint64_t eventNs_ = 0;
  bool running_ = false;
  std::vector<CtsChange> cts_;  // in time order; off before the first
  Fifo<Pending> txBuffer_;
  Fifo<InFlight> toHostQueue_;
  uint64_t latencyNs_ = 0;
  uint16_t packetBytes_ = kUsbPacketBytes;
  size_t heldCount_ = 0;         // bytes in the adapter's open packet (the newest queued)
  uint64_t heldDeadlineNs_ = 0;  // when its latency timer expires
  LineErrors hostErrors_{};
  uint64_t sentToFar_ = 0, sentToHost_ = 0;
  uint64_t wireNsToFar_ = 0, wireNsToHost_ = 0;
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
  bool Refuses(int16_t port, int32_t baud) const;

 private:
  class Port;
  VirtualClock& clock_;
  std::map<int16_t, std::unique_ptr<VirtualLine>> lines_;
  std::map<int16_t, bool> busy_;
  std::map<int16_t, std::vector<int32_t>> refused_;
};

}  // namespace corv
