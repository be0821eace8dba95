// The RFC 2217 port: Telnet negotiation (binary both ways, the com-port option
// 44), data with IAC doubled both ways, and the com-port commands sent in one
// batch whose answers are waited for together, so that a change of line costs
// one round trip whatever it changes. A setting equal to the one in force is
// not sent again. A server that closes the connection is a port that vanished:
// every later step fails at once.
#include "platform/network_port.h"

#include <algorithm>
#include <deque>
#include <vector>

#include "platform/clock.h"
#include "platform/port_base.h"

namespace corv {
namespace {

// Telnet.
constexpr uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250, kSe = 240;
constexpr uint8_t kBinary = 0, kSuppressGoAhead = 3, kComPort = 44;

// Com-port commands (client to server; the server answers with the code + 100).
constexpr uint8_t kSetBaudRate = 1, kSetDataSize = 2, kSetParity = 3, kSetStopSize = 4, kSetControl = 5,
                  kNotifyLineState = 6, kNotifyModemState = 7, kSetLineStateMask = 10,
                  kSetModemStateMask = 11, kPurgeData = 12;
constexpr uint8_t kServerCode = 100;
constexpr uint8_t kParityNone = 1, kParityEven = 3;
constexpr uint8_t kControlNoFlow = 1, kControlHardwareFlow = 3, kControlDtrOn = 8, kControlRtsOn = 11;
constexpr uint8_t kPurgeBoth = 3;
constexpr uint8_t kModemCts = 0x10;
constexpr uint8_t kLineBreak = 0x10, kLineFraming = 0x08, kLineParity = 0x04, kLineOverrun = 0x02;

// The port's own failure numbers (LastError).
constexpr int kRefused = 1, kGone = 2, kSilent = 3;

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
    if (c != prefix[i]) return false;
  }
  return true;
}

constexpr std::string_view kScheme = "rfc2217://";

struct Command {
  uint8_t code;
  std::vector<uint8_t> value;
  // False for a command whose answer is not waited for: a server may leave
  // one it cannot carry out unanswered (ser2net does for the modem lines of a
  // pseudo-terminal) or answer it otherwise.
  bool answered = true;
};

// SET-CONTROL carries three settings in one code; an answer belongs to the
// command of its own group (flow control, DTR, RTS, and the rest).
int ControlGroup(uint8_t value) {
  if (value <= 3 || (value >= 14 && value <= 19)) return 0;
  if (value >= 7 && value <= 10) return 1;
  if (value >= 11 && value <= 13) return 2;
  return 3;
}

class NetworkPort : public PortBase {
 public:
  NetworkPort(const PortDriver::ErrorHook& hook, std::unique_ptr<TcpConnection> tcp, int16_t readTimeoutMs)
      : PortBase(hook), tcp_(std::move(tcp)), timeoutMs_(readTimeoutMs < 0 ? 0 : readTimeoutMs) {}

  ~NetworkPort() override {
    // The server drops what it holds for the line; nothing is waited for.
    if (!gone_) Send(Framed({kPurgeData, {kPurgeBoth}}));
  }

  // Negotiation, the line, the modem lines and the notifications, then a
  // purge: false with `result` telling why.
  bool Start(const LineSettings& line, OpenResult& result) {
    // The server speaks first. One that turns the client away (ser2net's
    // "Port already in use" for a port another client holds) closes at once,
    // and anything sent to it first would reset the connection and lose its
    // words: so its first words are heard out before anything is answered.
    const uint32_t start = SystemClock().TickMs();
    holdReplies_ = true;
    if (!Pump(kGreetingMs)) return TurnedAway(result);
    if (!data_.empty()) return TurnedAway(result);
    holdReplies_ = false;
    std::vector<uint8_t> offer = std::move(held_);
    const auto ask = [&](uint8_t verb, uint8_t option, bool* sent) {
      if (sent[option]) return;
      sent[option] = true;
      offer.insert(offer.end(), {kIac, verb, option});
    };
    ask(kWill, kBinary, willSent_);
    ask(kDo, kBinary, doSent_);
    ask(kWill, kComPort, willSent_);
    if (!Send(offer)) return TurnedAway(result);
    while (!(serverDo_[kComPort] && serverDo_[kBinary] && serverWill_[kBinary])) {
      const int64_t left = kServerAnswerMs - static_cast<int64_t>(SystemClock().TickMs() - start);
      if (refusedComPort_ || left <= 0) {
        error_ = kSilent;
        reason_ = "the server does not offer the com-port option";
        return Failed(result);
      }
      if (!Pump(static_cast<int>(left))) return TurnedAway(result);
    }
    data_.clear();
    std::vector<Command> batch = LineCommands(line);
    batch.push_back({kSetControl, {kControlDtrOn}, false});
    batch.push_back({kSetControl, {kControlRtsOn}, false});
    // ser2net answers a mask with the state it masks, as a notification.
    batch.push_back({kSetModemStateMask, {kModemCts}, false});
    batch.push_back({kSetLineStateMask, {kLineBreak | kLineFraming | kLineParity | kLineOverrun}, false});
    batch.push_back({kPurgeData, {kPurgeBoth}});
    // The commands' values become the server's answers.
    const bool answered = Exchange(batch);
    if (!answered && gone_) return TurnedAway(result);
    if (!answered || !Check(batch, line)) {
      result.outcome = error_ == kRefused ? OpenOutcome::SettingRefused : OpenOutcome::OtherError;
      result.systemError = 0;
      result.errorText = ErrorText();
      return false;
    }
    result = OpenResult{OpenOutcome::Opened, 0, {}};
    return true;
  }

  int SetLine(const LineSettings& line) override {
    std::vector<Command> batch{{kPurgeData, {kPurgeBoth}}};
    std::vector<Command> changes = LineCommands(line);
    batch.insert(batch.end(), changes.begin(), changes.end());
    if (!Exchange(batch)) {
      ReportSystemError();
      return -1;
    }
    ReportLineErrors();
    if (!Check(batch, line)) {
      ReportSystemError();
      return -1;
    }
    return 1;
  }

  int CtsOn() override {
    if (!gone_) Pump(0);
    return modemState_ & kModemCts ? 1 : 0;
  }

  int RoundTripMs() const override { return rttMs_; }

 protected:
  int ReadOnce(uint8_t* buf, uint16_t count) override {
    const uint32_t start = SystemClock().TickMs();
    const int64_t wait = int64_t{timeoutMs_} + rttMs_;
    int n = 0;
    // What has arrived counts even when the time is up (a time-out of 0 asks
    // for only that).
    bool lastLook = false;
    for (;;) {
      while (n < count && !data_.empty()) {
        buf[n++] = data_.front();
        data_.pop_front();
      }
      if (n == count || gone_ || lastLook) break;
      const int64_t left = wait - static_cast<int64_t>(SystemClock().TickMs() - start);
      lastLook = left <= 0;
      if (!Pump(lastLook ? 0 : static_cast<int>(left))) break;
    }
    if (n == 0 && gone_) return -1;
    return n;
  }

  int WriteOnce(const uint8_t* data, uint16_t count) override {
    std::vector<uint8_t> out;
    out.reserve(count + 8u);
    for (uint16_t i = 0; i < count; ++i) {
      out.push_back(data[i]);
      if (data[i] == kIac) out.push_back(kIac);
    }
    return Send(out) ? count : -1;
  }

  bool DiscardPending() override {
    std::vector<Command> purge{{kPurgeData, {kPurgeBoth}}};
    return Exchange(purge);
  }

  bool FetchLineErrors(LineErrors& errors) override {
    if (!gone_) Pump(0);
    errors = LineErrors{};
    errors.frame = (lineState_ & kLineFraming) != 0;
    errors.overrun = (lineState_ & kLineOverrun) != 0;
    errors.parity = (lineState_ & kLineParity) != 0;
    errors.brk = (lineState_ & kLineBreak) != 0;
    lineState_ = 0;
    return true;
  }

  std::string ErrorText() const override { return "Error: " + reason_; }
  int LastError() const override { return error_; }
  void SetReadTimeout(int16_t ms) override { timeoutMs_ = ms < 0 ? 0 : ms; }
  OpenOutcome OutcomeOfLineFailure(int err) const override {
    return err == kRefused ? OpenOutcome::SettingRefused : OpenOutcome::OtherError;
  }

 private:
  // The server closed the connection before the port was agreed: what it
  // said (if anything) tells why; "in use" is a port another client holds.
  // Its words may come after its offer, and after ours crossed them.
  bool TurnedAway(OpenResult& result) {
    uint8_t rest[512];
    for (int got; (got = tcp_->ReceiveSome(rest, sizeof rest, 200)) > 0;) {
      for (int i = 0; i < got; ++i) Parse(rest[i]);
    }
    gone_ = true;
    const std::string said = Trimmed(std::string(data_.begin(), data_.end()));
    const size_t inUse = said.find("in use");
    if (inUse != std::string::npos) {
      const size_t from = said.find_last_of("\r\n", inUse);
      result = OpenResult{OpenOutcome::Busy, 0, "Error: " + said.substr(from == std::string::npos ? 0 : from + 1)};
      return false;
    }
    if (!said.empty() && reason_.empty()) {
      error_ = kGone;
      reason_ = said;
    }
    return Failed(result);
  }

  bool Failed(OpenResult& result) {
    result.outcome = OpenOutcome::OtherError;
    result.systemError = 0;
    result.errorText = ErrorText();
    return false;
  }

  static std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
  }

  // The commands that bring the line in force to `line`; none for a setting
  // already in force.
  std::vector<Command> LineCommands(const LineSettings& line) const {
    std::vector<Command> batch;
    const auto rate = static_cast<uint32_t>(line.baud);
    if (line.baud != baud_) {
      batch.push_back({kSetBaudRate,
                       {static_cast<uint8_t>(rate >> 24), static_cast<uint8_t>(rate >> 16),
                        static_cast<uint8_t>(rate >> 8), static_cast<uint8_t>(rate)}});
    }
    if (dataSize_ != 8) batch.push_back({kSetDataSize, {8}});
    const uint8_t parity = line.parity ? kParityEven : kParityNone;
    if (parity != parity_) batch.push_back({kSetParity, {parity}});
    const uint8_t stop = line.stopBits == 1 ? 1 : 2;
    if (stop != stopSize_) batch.push_back({kSetStopSize, {stop}});
    const uint8_t flow = line.cts ? kControlHardwareFlow : kControlNoFlow;
    if (flow != flow_) batch.push_back({kSetControl, {flow}});
    return batch;
  }

  // The server's answers to the line commands of `batch` taken as the line in
  // force; false (a refused setting) when one differs from what was asked.
  bool Check(const std::vector<Command>& batch, const LineSettings& line) {
    bool refused = false;
    for (const Command& c : batch) {
      const std::vector<uint8_t>& a = c.value;  // the server's answer
      switch (c.code) {
        case kSetBaudRate: {
          const int32_t got = a.size() == 4 ? static_cast<int32_t>(uint32_t{a[0]} << 24 | uint32_t{a[1]} << 16 |
                                                                   uint32_t{a[2]} << 8 | a[3])
                                            : 0;
          baud_ = got;
          refused = refused || got != line.baud;
          break;
        }
        case kSetDataSize:
          dataSize_ = a.empty() ? 0 : a[0];
          refused = refused || dataSize_ != 8;
          break;
        case kSetParity:
          parity_ = a.empty() ? 0 : a[0];
          refused = refused || parity_ != (line.parity ? kParityEven : kParityNone);
          break;
        case kSetStopSize:
          stopSize_ = a.empty() ? 0 : a[0];
          refused = refused || stopSize_ != (line.stopBits == 1 ? 1 : 2);
          break;
        case kSetControl:
          if (c.answered && !a.empty() && ControlGroup(a[0]) == 0) {
            flow_ = a[0];
            refused = refused || flow_ != (line.cts ? kControlHardwareFlow : kControlNoFlow);
          }
          break;
        default:
          break;
      }
    }
    if (refused) {
      error_ = kRefused;
      reason_ = "the serial device server refused the line setting";
    }
    return !refused;
  }

  static std::vector<uint8_t> Framed(const Command& c) {
    std::vector<uint8_t> out{kIac, kSb, kComPort, c.code};
    for (const uint8_t b : c.value) {
      out.push_back(b);
      if (b == kIac) out.push_back(kIac);
    }
    out.push_back(kIac);
    out.push_back(kSe);
    return out;
  }

  // Sends the commands at once and waits for every answer: each command's
  // value is replaced by the server's. The wait gives a round-trip sample.
  bool Exchange(std::vector<Command>& batch) {
    if (gone_) return false;
    std::vector<uint8_t> out;
    for (const Command& c : batch) {
      const std::vector<uint8_t> f = Framed(c);
      out.insert(out.end(), f.begin(), f.end());
    }
    pending_.clear();
    for (Command& c : batch) {
      if (c.answered) pending_.push_back(&c);
    }
    const uint32_t start = SystemClock().TickMs();
    exchangeStart_ = start;
    firstAnswerMs_ = -1;
    if (!Send(out)) return false;
    while (!pending_.empty()) {
      const int64_t left = kServerAnswerMs + int64_t{rttMs_} - static_cast<int64_t>(SystemClock().TickMs() - start);
      if (left <= 0) {
        pending_.clear();
        error_ = kSilent;
        reason_ = "no answer from the serial device server";
        return false;
      }
      if (!Pump(static_cast<int>(left))) {
        pending_.clear();
        return false;
      }
    }
    // The first answer times the network; the later ones also the server's
    // own work on the line (ser2net drains the line before a new rate).
    if (firstAnswerMs_ >= 0) {
      const int sample = firstAnswerMs_;
      // A longer trip counts at once; a shorter one only bit by bit.
      rttMs_ = !rttKnown_ || sample > rttMs_ ? sample : (3 * rttMs_ + sample) / 4;
      rttKnown_ = true;
    }
    return true;
  }

  bool Send(const std::vector<uint8_t>& bytes) {
    if (gone_) return false;
    if (tcp_->SendAll(bytes.data(), bytes.size())) return true;
    Vanished();
    return false;
  }

  void Vanished() {
    gone_ = true;
    error_ = kGone;
    reason_ = tcp_->Reason();
  }

  // What the server sent within `waitMs` parsed; false when the connection is
  // gone (at once, every time after).
  bool Pump(int waitMs) {
    if (gone_) return false;
    uint8_t buf[4096];
    const int got = tcp_->ReceiveSome(buf, sizeof buf, waitMs);
    if (got < 0) {
      Vanished();
      return false;
    }
    for (int i = 0; i < got; ++i) Parse(buf[i]);
    return true;
  }

  void Parse(uint8_t b) {
    switch (state_) {
      case State::Data:
        if (b == kIac) {
          state_ = State::Iac;
        } else {
          data_.push_back(b);
        }
        return;
      case State::Iac:
        if (b == kIac) {
          data_.push_back(b);
          state_ = State::Data;
        } else if (b == kWill || b == kWont || b == kDo || b == kDont) {
          verb_ = b;
          state_ = State::Option;
        } else if (b == kSb) {
          sub_.clear();
          state_ = State::Sub;
        } else {
          state_ = State::Data;  // a Telnet command without effect on a data line
        }
        return;
      case State::Option:
        Negotiate(verb_, b);
        state_ = State::Data;
        return;
      case State::Sub:
        if (b == kIac) {
          state_ = State::SubIac;
        } else {
          sub_.push_back(b);
        }
        return;
      case State::SubIac:
        if (b == kSe) {
          Subnegotiation();
          state_ = State::Data;
        } else {
          sub_.push_back(b);  // a doubled IAC inside
          state_ = State::Sub;
        }
        return;
    }
  }

  // Each option is answered once: the options this port speaks are agreed to,
  // every other one refused.
  void Negotiate(uint8_t verb, uint8_t option) {
    const bool ours = option == kBinary || option == kComPort;
    std::vector<uint8_t> reply;
    if (verb == kDo) {
      serverDo_[option] = true;
      if (ours && !willSent_[option]) {
        willSent_[option] = true;
        reply = {kIac, kWill, option};
      } else if (!ours && !wontSent_[option]) {
        wontSent_[option] = true;
        reply = {kIac, kWont, option};
      }
    } else if (verb == kDont) {
      serverDo_[option] = false;
      if (option == kComPort) refusedComPort_ = true;
    } else if (verb == kWill) {
      serverWill_[option] = true;
      const bool wanted = option == kBinary || option == kSuppressGoAhead;
      if (wanted && !doSent_[option]) {
        doSent_[option] = true;
        reply = {kIac, kDo, option};
      } else if (!wanted && !dontSent_[option]) {
        dontSent_[option] = true;
        reply = {kIac, kDont, option};
      }
    } else {
      serverWill_[option] = false;
    }
    if (reply.empty()) return;
    if (holdReplies_) {
      held_.insert(held_.end(), reply.begin(), reply.end());
    } else {
      Send(reply);
    }
  }

  void Subnegotiation() {
    if (sub_.size() < 2 || sub_[0] != kComPort || sub_[1] < kServerCode) return;
    const uint8_t code = static_cast<uint8_t>(sub_[1] - kServerCode);
    const std::vector<uint8_t> value(sub_.begin() + 2, sub_.end());
    if (code == kNotifyModemState) {
      if (!value.empty()) modemState_ = value[0];
      return;
    }
    if (code == kNotifyLineState) {
      if (!value.empty()) lineState_ |= value[0];
      return;
    }
    // What the server held before the purge is gone on its side: so is ours.
    if (code == kPurgeData) data_.clear();
    const auto it = std::find_if(pending_.begin(), pending_.end(), [&](Command* c) {
      if (c->code != code) return false;
      return code != kSetControl || value.empty() || c->value.empty() ||
             ControlGroup(value[0]) == ControlGroup(c->value[0]);
    });
    if (it == pending_.end()) return;
    (*it)->value = value;
    pending_.erase(it);
    if (firstAnswerMs_ < 0) firstAnswerMs_ = static_cast<int>(SystemClock().TickMs() - exchangeStart_);
  }

  enum class State { Data, Iac, Option, Sub, SubIac };

  std::unique_ptr<TcpConnection> tcp_;
  int16_t timeoutMs_;
  int rttMs_ = 0;
  bool rttKnown_ = false;
  uint32_t exchangeStart_ = 0;
  int firstAnswerMs_ = -1;
  bool gone_ = false;
  int error_ = 0;
  std::string reason_;
  std::deque<uint8_t> data_;
  State state_ = State::Data;
  uint8_t verb_ = 0;
  std::vector<uint8_t> sub_;
  std::vector<Command*> pending_;
  bool willSent_[256] = {}, wontSent_[256] = {}, doSent_[256] = {}, dontSent_[256] = {};
  bool serverDo_[256] = {}, serverWill_[256] = {};
  bool refusedComPort_ = false;
  bool holdReplies_ = false;     // while the server's first words are heard out
  std::vector<uint8_t> held_;    // the replies held meanwhile
  uint8_t modemState_ = 0;
  uint8_t lineState_ = 0;
  // The line in force as the server last answered it (0: not known yet).
  int32_t baud_ = 0;
  uint8_t dataSize_ = 0, parity_ = 0, stopSize_ = 0, flow_ = 0;
};

}  // namespace

bool IsNetworkPortName(std::string_view text) { return StartsWithNoCase(text, kScheme); }

bool ReadNetworkPortName(std::string_view text, NetworkPortName& name) {
  if (!IsNetworkPortName(text)) return false;
  text.remove_prefix(kScheme.size());
  while (!text.empty() && text.back() == '/') text.remove_suffix(1);
  const size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0 || colon + 1 == text.size()) return false;
  std::string_view host = text.substr(0, colon);
  const std::string_view port = text.substr(colon + 1);
  if (host.front() == '[') {
    if (host.size() < 3 || host.back() != ']') return false;
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string_view::npos) {
    return false;
  }
  if (port.size() > 5) return false;
  uint32_t n = 0;
  for (const char c : port) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<uint32_t>(c - '0');
  }
  if (n < 1 || n > 65535) return false;
  name.host = std::string(host);
  name.port = static_cast<uint16_t>(n);
  return true;
}

std::unique_ptr<SerialPort> StartNetworkPort(std::unique_ptr<TcpConnection> connection, const LineSettings& line,
                                             int16_t readTimeoutMs, const PortDriver::ErrorHook& hook,
                                             OpenResult& result) {
  auto port = std::make_unique<NetworkPort>(hook, std::move(connection), readTimeoutMs);
  if (!port->Start(line, result)) return nullptr;
  return port;
}

std::unique_ptr<SerialPort> OpenNetworkPort(std::string_view name, const LineSettings& line, int16_t readTimeoutMs,
                                            const PortDriver::ErrorHook& hook, OpenResult& result) {
  NetworkPortName where;
  if (!ReadNetworkPortName(name, where)) {
    result = OpenResult{OpenOutcome::NotPresent, 0,
                        "Error: " + std::string(name) + " is not of the form rfc2217://HOST:PORT"};
    return nullptr;
  }
  std::string reason;
  std::unique_ptr<TcpConnection> tcp = ConnectTcp(where.host, where.port, kServerAnswerMs, reason);
  if (!tcp) {
    result = OpenResult{OpenOutcome::OtherError, 0,
                        "Error: cannot connect to " + where.host + " port " + std::to_string(where.port) + ": " +
                            reason};
    return nullptr;
  }
  return StartNetworkPort(std::move(tcp), line, readTimeoutMs, hook, result);
}

std::unique_ptr<SerialPort> PortDriver::OpenNamed(std::string_view name, const LineSettings& line,
                                                  int16_t readTimeoutMs, OpenResult& result) {
  return OpenNetworkPort(name, line, readTimeoutMs, Hook(), result);
}

}  // namespace corv
