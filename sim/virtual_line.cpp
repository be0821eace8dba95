// The virtual line as a discrete-event model on the virtual clock. Nothing runs
// on its own: whenever the program's side is about to observe a time, every
// program byte that has fully arrived at the far end by then is handed to it
// first (its answers go on the wire towards the program with their own times).
// Times are kept in nanoseconds so that byte times of non-integral
// microseconds add up without drift. Each byte towards the program carries the
// time its stop bit ends and the time the adapter lets the program have it;
// both only grow along the queue, so reads stay a look at its front.
#include "sim/virtual_line.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/port_base.h"

namespace corv {
namespace {

uint64_t CeilUs(uint64_t ns) { return (ns + 999) / 1000; }

uint64_t Mix(uint64_t seed, uint64_t index, uint64_t salt) {
  uint64_t z = seed * 0x9E3779B97F4A7C15ull + index * 0xBF58476D1CE4E5B9ull + salt * 0x94D049BB133111EBull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

bool Contains(const std::vector<uint64_t>& v, uint64_t x) { return std::find(v.begin(), v.end(), x) != v.end(); }

// What a receiver makes of a byte sent at another rate or parity: a fixed
// function of the byte and both line settings, never the byte itself.
uint8_t GarbleByte(uint8_t byte, int32_t sentBaud, bool sentParity, int32_t recvBaud, bool recvParity) {
  const uint64_t key = (uint64_t{static_cast<uint32_t>(sentBaud)} << 32) ^ static_cast<uint32_t>(recvBaud);
  auto g = static_cast<uint8_t>(Mix(key, byte, 5 + (sentParity ? 1 : 0) + (recvParity ? 2 : 0)));
  if (g == byte) g ^= 0x80;
  return g;
}

}  // namespace

VirtualLine::VirtualLine(VirtualClock& clock) : clock_(clock) { hostByteNs_ = ByteTimeNs(host_.baud, host_.parity); }

VirtualLine::~VirtualLine() = default;

uint64_t VirtualLine::ByteTimeUs(int32_t baud, bool parity) {
  const uint64_t b = static_cast<uint64_t>(std::max<int32_t>(baud, 1));
  return ((parity ? 12u : 11u) * 1000000ull + b / 2) / b;
}

uint64_t VirtualLine::ByteTimeNs(int32_t baud, bool parity) {
  const uint64_t b = static_cast<uint64_t>(std::max<int32_t>(baud, 1));
  return ((parity ? 12u : 11u) * 1000000000ull + b / 2) / b;
}

// --- Far end.

void VirtualLine::SetFarLine(int32_t baud, bool evenParity) {
  farBaud_ = std::max<int32_t>(baud, 1);
  farParity_ = evenParity;
}

void VirtualLine::Queue(uint64_t& atNs, uint8_t byte, uint64_t byteNs) {
  atNs += byteNs;
  toHostQueue_.push_back({atNs, atNs, farBaud_, byte, farParity_});
  if (latencyNs_ > 0) Hold(toHostQueue_.size() - 1);
}

// --- The adapter.

void VirtualLine::SetAdapter(uint32_t latencyUs, uint16_t packetBytes) {
  latencyNs_ = uint64_t{latencyUs} * 1000;
  packetBytes_ = std::max<uint16_t>(packetBytes, 1);
  // Bytes the program could not have yet follow the new adapter.
  const uint64_t now = EventNs();
  size_t from = toHostQueue_.size();
  while (from > 0 && toHostQueue_[from - 1].deliverNs > now) --from;
  Regroup(from);
}

void VirtualLine::Hold(size_t i) {
  InFlight& f = toHostQueue_[i];
  if (latencyNs_ == 0) {
    f.deliverNs = f.arriveNs;
    return;
  }
  if (heldCount_ == 0 || f.arriveNs >= heldDeadlineNs_) {  // the first byte held starts the timer
    heldCount_ = 0;
    heldDeadlineNs_ = f.arriveNs + latencyNs_;
  }
  f.deliverNs = heldDeadlineNs_;
  if (++heldCount_ < packetBytes_) return;
  // A full packet goes to the PC at once, with the byte that filled it.
  const size_t n = std::min(heldCount_, i + 1);
  for (size_t k = i + 1 - n; k <= i; ++k) toHostQueue_[k].deliverNs = f.arriveNs;
  heldCount_ = 0;
}

void VirtualLine::Regroup(size_t from) {
  heldCount_ = 0;
  for (size_t i = from; i < toHostQueue_.size(); ++i) Hold(i);
}

void VirtualLine::FarSend(uint64_t atUs, const uint8_t* data, size_t n) {
  uint64_t t = std::max(farTxFreeNs_, (atUs + extraReplyDelayUs) * 1000);
  const uint64_t byteNs = ByteTimeNs(farBaud_, farParity_);
  wireNsToHost_ += byteNs * n;
  for (size_t i = 0; i < n; ++i) {
    uint8_t b = data[i];
    bool stray = false;
    uint8_t strayByte = 0;
    const bool kept = Damage(toHost, sentToHost_++, b, stray, strayByte);
    if (stray) Queue(t, strayByte, byteNs);
    if (kept) {
      Queue(t, b, byteNs);
    } else {
      t += byteNs;  // sent, but lost on the way
    }
  }
  farTxFreeNs_ = t;
}

void VirtualLine::FarFlush() {
  const uint64_t now = EventNs();
  while (!toHostQueue_.empty() && toHostQueue_.back().arriveNs > now) toHostQueue_.pop_back();
  farTxFreeNs_ = std::min(farTxFreeNs_, now);
  if (latencyNs_ == 0) return;
  // What the adapter already holds stays; its open packet may have lost bytes.
  size_t from = toHostQueue_.size();
  while (from > 0 && toHostQueue_[from - 1].deliverNs > now) --from;
  Regroup(from);
}

void VirtualLine::SetCts(bool on) { SetCtsAt(CeilUs(EventNs()), on); }

void VirtualLine::SetCtsAt(uint64_t atUs, bool on) {
  const uint64_t at = atUs * 1000;
  const auto pos = std::upper_bound(cts_.begin(), cts_.end(), at,
                                    [](uint64_t t, const CtsChange& c) { return t < c.atNs; });
  cts_.insert(pos, CtsChange{at, on});
  // Nothing will ask about a time before both the transmitter and the clock.
  if (cts_.size() > 32) {
    const uint64_t floor = std::min(hostWireFreeNs_, NowNs());
    size_t keep = 0;
    while (keep + 1 < cts_.size() && cts_[keep + 1].atNs <= floor) ++keep;
    cts_.erase(cts_.begin(), cts_.begin() + static_cast<std::ptrdiff_t>(keep));
  }
}

bool VirtualLine::CtsAt(uint64_t ns) const {
  bool on = false;
  for (const CtsChange& c : cts_) {
    if (c.atNs > ns) break;
    on = c.on;
  }
  return on;
}

uint64_t VirtualLine::CtsReadyAt(uint64_t ns) const {
  if (CtsAt(ns)) return ns;
  for (const CtsChange& c : cts_) {
    if (c.atNs > ns && c.on) return c.atNs;
  }
  return kNever;
}

// --- Faults.

bool VirtualLine::Damage(const LineFaults& f, uint64_t index, uint8_t& byte, bool& stray, uint8_t& strayByte) {
  if (f.dropAt.empty() && f.corruptAt.empty() && f.insertBefore.empty() && f.errorRate <= 0) return true;
  stray = Contains(f.insertBefore, index);
  if (stray) strayByte = static_cast<uint8_t>(Mix(f.seed, index, 3) | 1);
  if (Contains(f.dropAt, index)) return false;
  if (Contains(f.corruptAt, index)) byte ^= static_cast<uint8_t>(1u << (Mix(f.seed, index, 1) & 7));
  if (f.errorRate > 0) {
    const uint64_t r = Mix(f.seed, index, 2);
    if (static_cast<double>(r >> 11) * 0x1.0p-53 < f.errorRate) byte ^= static_cast<uint8_t>(1u << (r & 7));
  }
  return true;
}

// --- Time.

uint64_t VirtualLine::FrontArrival() const {
  if (txBuffer_.empty()) return kNever;
  uint64_t start = std::max(hostWireFreeNs_, txBuffer_.front().readyNs);
  if (host_.cts) {
    start = CtsReadyAt(start);
    if (start == kNever) return kNever;
  }
  return start + hostByteNs_;
}

void VirtualLine::Deliver(uint64_t ns, uint8_t byte) {
  bool stray = false;
  uint8_t strayByte = 0;
  const bool kept = Damage(toFar, sentToFar_++, byte, stray, strayByte);
  if (!end_) return;
  const bool wasInEvent = inEvent_;
  const uint64_t wasEventNs = eventNs_;
  inEvent_ = true;
  eventNs_ = ns;
  // A far end whose line changes with time alone brings itself up to date
  // before the byte is judged against its rate.
  end_->Settle(*this, CeilUs(ns));
  auto hand = [&](uint8_t b) {
    if (host_.baud != farBaud_ || host_.parity != farParity_) {
      b = GarbleByte(b, host_.baud, host_.parity, farBaud_, farParity_);
    }
    end_->OnByte(*this, CeilUs(ns), b);
  };
  if (stray) hand(strayByte);
  if (kept) hand(byte);
  inEvent_ = wasInEvent;
  eventNs_ = wasEventNs;
}

void VirtualLine::RunUntil(uint64_t ns) {
  if (running_) return;  // a far end looking at the line from inside OnByte
  running_ = true;
  for (;;) {
    const uint64_t arrive = FrontArrival();
    if (arrive == kNever || arrive > ns) break;
    const uint8_t b = txBuffer_.front().byte;
    txBuffer_.pop_front();
    hostWireFreeNs_ = arrive;
    Deliver(arrive, b);
  }
  running_ = false;
}

// --- The program's side.

void VirtualLine::PurgeInput(uint64_t nowNs) {
  while (!toHostQueue_.empty() && toHostQueue_.front().deliverNs <= nowNs) toHostQueue_.pop_front();
}

bool VirtualLine::OpenHost(const LineSettings& line, int16_t readTimeoutMs) {
  if (line.baud <= 0) return false;
  RunUntil(NowNs());
  host_ = line;
  hostByteNs_ = ByteTimeNs(host_.baud, host_.parity);
  readTimeoutMs_ = std::max<int16_t>(readTimeoutMs, 0);
  hostOpen_ = true;
  PurgeHost();
  hostErrors_ = {};
  return true;
}

void VirtualLine::CloseHost() {
  PurgeHost();
  hostOpen_ = false;
}

void VirtualLine::PurgeHost() {
  const uint64_t now = NowNs();
  RunUntil(now);
  PurgeInput(now);
  if (txBuffer_.empty()) return;
  // The byte already on the wire goes out whole; the rest of the buffer is dropped.
  const uint64_t arrive = FrontArrival();
  if (arrive != kNever && arrive - hostByteNs_ <= now) {
    const Pending onWire = txBuffer_.front();
    txBuffer_.clear();
    txBuffer_.push_back(onWire);
  } else {
    txBuffer_.clear();
  }
}

int VirtualLine::SetHostLine(const LineSettings& line) {
  if (line.baud <= 0) return -1;
  PurgeHost();
  host_ = line;
  hostByteNs_ = ByteTimeNs(host_.baud, host_.parity);
  return 1;
}

void VirtualLine::SetHostReadTimeout(int16_t ms) { readTimeoutMs_ = std::max<int16_t>(ms, 0); }

int VirtualLine::HostReceive(uint8_t* buf, uint16_t count) {
  if (!hostOpen_) return -1;
  const uint64_t now = NowNs();
  RunUntil(now);
  uint64_t until = now;
  if (readTimeoutMs_ > 0 && count > 0) {
    const uint64_t deadline = now + uint64_t(readTimeoutMs_) * 1000000;
    const auto countArrives = [&] {
      uint64_t t = deadline;
      if (toHostQueue_.size() >= count) t = std::min(t, toHostQueue_[count - 1u].deliverNs);
      return std::max(t, now);
    };
    // Replies the far end makes to bytes arriving meanwhile can only come later
    // than what is already queued, so this settles at once unless the far end
    // withdrew bytes (a reset).
    uint64_t t = countArrives();
    for (;;) {
      RunUntil(t);
      const uint64_t again = countArrives();
      if (again <= t) {
        until = again;
        break;
      }
      t = again;
    }
    clock_.AdvanceTo(CeilUs(until));
    RunUntil(NowNs());
  }
  int n = 0;
  while (n < count && !toHostQueue_.empty() && toHostQueue_.front().deliverNs <= until) {
    const InFlight& f = toHostQueue_.front();
    uint8_t b = f.byte;
    if (f.baud != host_.baud || f.parity != host_.parity) {
      b = GarbleByte(b, f.baud, f.parity, host_.baud, host_.parity);
      hostErrors_.frame = true;
    }
    buf[n++] = b;
    toHostQueue_.pop_front();
  }
  return n;
}

int VirtualLine::HostTransmit(const uint8_t* data, uint16_t count) {
  if (!hostOpen_) return -1;
  if (writeLog) writeLog->push_back(count);
  uint64_t now = NowNs();
  RunUntil(now);
  // The write time-out of the port: (10000 / baud + 1) ms per byte plus 1000 ms.
  const uint64_t perByteMs = 10000 / static_cast<uint64_t>(std::max<int32_t>(host_.baud, 1)) + 1;
  const uint64_t deadline = now + (perByteMs * count + 1000) * 1000000;
  int accepted = 0;
  while (accepted < count) {
    if (txBuffer_.size() < kTxBufferSize) {
      txBuffer_.push_back(Pending{now, data[accepted++]});
      continue;
    }
    const uint64_t arrive = FrontArrival();  // the buffer frees a place then
    if (arrive == kNever || arrive > deadline) {
      clock_.AdvanceTo(CeilUs(deadline));
      break;
    }
    RunUntil(arrive);
    now = std::max(now, arrive);
    clock_.AdvanceTo(CeilUs(now));
  }
  wireNsToFar_ += hostByteNs_ * static_cast<uint64_t>(accepted);
  RunUntil(NowNs());
  return accepted;
}

int VirtualLine::HostCts() {
  RunUntil(NowNs());
  return CtsAt(NowNs()) ? 1 : 0;
}

LineErrors VirtualLine::FetchHostErrors() {
  const LineErrors e = hostErrors_;
  hostErrors_ = {};
  return e;
}

// --- Ports.

class VirtualPortDriver::Port : public PortBase {
 public:
  Port(VirtualPortDriver& driver, int16_t number, VirtualLine& line)
      : PortBase(driver.Hook()), driver_(driver), number_(number), line_(line) {}
  ~Port() override {
    Purge();
    line_.CloseHost();
  }
  int SetLine(const LineSettings& line) override {
    Purge();
    if (driver_.Refuses(number_, line.baud) || line_.SetHostLine(line) < 0) {
      error_ = EINVAL;
      ReportSystemError();
      return -1;
    }
    return 1;
  }
  int CtsOn() override { return line_.HostCts(); }

 protected:
  int ReadOnce(uint8_t* buf, uint16_t count) override { return Fail(line_.HostReceive(buf, count)); }
  int WriteOnce(const uint8_t* data, uint16_t count) override { return Fail(line_.HostTransmit(data, count)); }
  bool DiscardPending() override {
    line_.PurgeHost();
    return true;
  }
  bool FetchLineErrors(LineErrors& errors) override {
    errors = line_.FetchHostErrors();
    return true;
  }
  std::string ErrorText() const override { return std::string("Error: ") + std::strerror(error_); }
  int LastError() const override { return error_; }
  void SetReadTimeout(int16_t ms) override { line_.SetHostReadTimeout(ms); }

 private:
  int Fail(int r) {
    if (r < 0) error_ = EIO;
    return r;
  }
  VirtualPortDriver& driver_;
  int16_t number_;
  VirtualLine& line_;
  int error_ = 0;
};

VirtualLine& VirtualPortDriver::AddLine(int16_t port) {
  auto& slot = lines_[port];
  if (!slot) slot = std::make_unique<VirtualLine>(clock_);
  return *slot;
}

VirtualLine* VirtualPortDriver::Line(int16_t port) {
  const auto it = lines_.find(port);
  return it == lines_.end() ? nullptr : it->second.get();
}

void VirtualPortDriver::SetBusy(int16_t port, bool busy) { busy_[port] = busy; }

void VirtualPortDriver::RefuseRate(int16_t port, int32_t baud) { refused_[port].push_back(baud); }

bool VirtualPortDriver::Refuses(int16_t port, int32_t baud) const {
  if (baud <= 0) return true;
  const auto it = refused_.find(port);
  return it != refused_.end() && std::find(it->second.begin(), it->second.end(), baud) != it->second.end();
}

std::unique_ptr<SerialPort> VirtualPortDriver::Open(int16_t port, const LineSettings& line, int16_t readTimeoutMs,
                                                    OpenResult& result) {
  const auto fail = [&](OpenOutcome outcome, int err) {
    result.outcome = outcome;
    result.systemError = err;
    result.errorText = std::string("Error: ") + std::strerror(err);
    return std::unique_ptr<SerialPort>();
  };
  VirtualLine* l = Line(port);
  if (!l) return fail(OpenOutcome::NotPresent, ENOENT);
  const auto b = busy_.find(port);
  if ((b != busy_.end() && b->second) || l->HostOpen()) return fail(OpenOutcome::Busy, EBUSY);
  if (Refuses(port, line.baud) || !l->OpenHost(line, readTimeoutMs)) {
    fail(OpenOutcome::SettingRefused, EINVAL);
    Report(result.errorText);
    return nullptr;
  }
  result.outcome = OpenOutcome::Opened;
  result.systemError = 0;
  result.errorText.clear();
  return std::make_unique<Port>(*this, port, *l);
}

}  // namespace corv
