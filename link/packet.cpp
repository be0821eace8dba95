// The packet layer: the transmit byte rule, sending, receiving, repair of a
// shifted reply, field parsing, the reply check, and the progress and summary
// lines. Only the port seam and the clock are used; no system calls here.
#include "link/packet.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "link/commands.h"
#include "link/crc16.h"

namespace corv {

Packet::Packet(Context& ctx) : ctx_(ctx), tx_(kTxSize), rx_(kRxSize) {}

void Packet::BeginRequest() { txLength_ = 0; }

void Packet::TraceBytes(OutStream& s, std::string_view open, const uint8_t* data, int n, std::string_view close) {
  s << open;
  for (int i = 0; i < n; ++i) {
    if (i) s << ' ';
    s << Hex{data[i], 2};
  }
  s << close << "\r\n";
}

void Packet::DiscardHeld() {
  if (rxCount_ > 0) {
    TraceBytes(ctx_.Trace(), "[DISCARD ", rx_.data(), rxCount_, "]");
    rxCount_ = 0;
  }
}

// A byte that is already in place (a retry building the same request) changes
// nothing; any other byte cuts the held request there and drops a held reply,
// which belonged to the request that is no longer the one being built.
void Packet::PutByte(uint8_t b) {
  if (txLength_ < txValid_ && tx_[static_cast<size_t>(txLength_)] == b) {
    ++txLength_;
    return;
  }
  if (txLength_ < kTxSize) {
    tx_[static_cast<size_t>(txLength_)] = b;
    ++txLength_;
    txValid_ = txLength_;
  }
  DiscardHeld();
}

void Packet::Append8(uint8_t v) { PutByte(v); }

void Packet::AppendBytes(const uint8_t* data, size_t n) {
  for (size_t i = 0; i < n; ++i) PutByte(data[i]);
}

void Packet::BeginCommand(uint8_t address, uint16_t code) {
  BeginRequest();
  Append8(address);
  Append8(cmd::kCommand);
  Append8(static_cast<uint8_t>(code >> 8));
  Append8(static_cast<uint8_t>(code));
}

void Packet::BeginQuick(uint8_t address) {
  BeginRequest();
  Append8(address);
  Append8(cmd::kQuickRequest);
}

void Packet::SendPacket(SerialPort* port, int n) {
  const uint16_t crc = Crc16(tx_.data(), static_cast<size_t>(txLength_));
  PutByte(static_cast<uint8_t>(crc));       // low byte first on the line
  PutByte(static_cast<uint8_t>(crc >> 8));
  if (txLength_ != txValid_) {
    // The new request is a strict prefix of the one held: it is a different one.
    txValid_ = txLength_;
    DiscardHeld();
  }
  if (n + 2 != txValid_) {
    ctx_.Notice() << "ERROR: SendPacket(" << Dec{n} << "): Write size error:" << Dec{txValid_ - 2} << "\r\n";
    return;
  }
  if (rxCount_ != 0) {
    TraceBytes(ctx_.Trace(), "<SUPPRESS ", tx_.data(), txValid_, ">");
  } else {
    const int written = port ? port->Transmit(tx_.data(), static_cast<uint16_t>(txValid_)) : -1;
    if (written < txValid_) {
      if (written < 0) NameFailure(port);
      ctx_.Detail() << "<SEND FAIL>\r\n";
      return;
    }
    bytesSent_ += static_cast<uint32_t>(txValid_);
    if (ctx_.settings.traceEnabled) TraceBytes(ctx_.Trace(), "<SEND ", tx_.data(), txValid_, ">");
  }
  txLength_ = 0;
  rxReadPos_ = 0;
}

// The port's own reason, once, so that the log tells a port that went away
// (and why) from a unit that does not answer.
void Packet::NameFailure(SerialPort* port) {
  if (!port) return;
  const std::string reason = port->TakeFailure();
  if (!reason.empty()) ctx_.Detail() << PortLabel(ctx_.settings) << ": " << reason << "\r\n";
}

void Packet::Reset() {
  txValid_ = 0;
  rxCount_ = 0;
}

// A read that failed ("[RECV FAIL]") or brought nothing ("[NO DATA]") drops
// what was held, so the caller's next attempt is sent in full.
bool Packet::ReadFailed(SerialPort* port, int got) {
  if (got < 0) {
    NameFailure(port);
    ctx_.Detail() << "[RECV FAIL]\r\n";
  } else if (got == 0) {
    ctx_.Trace() << "[NO DATA]\r\n";
  } else {
    return false;
  }
  Reset();
  return true;
}

void Packet::ReceiveReply(SerialPort* port, int n) {
  const int need = n + 2;
  if (n < 0 || need > kRxSize) {
    // No reply of that size fits the buffer: a failed read, not an overrun.
    ctx_.Detail() << "[RECV FAIL]\r\n";
    Reset();
    return;
  }
  if (rxCount_ < need) {
    const int want = need - rxCount_;
    const int got = port ? port->Receive(rx_.data() + rxCount_, static_cast<uint16_t>(want)) : -1;
    if (ReadFailed(port, got)) return;
    bytesReceived_ += static_cast<uint32_t>(got);
    if (got < want) {
      TraceBytes(ctx_.Trace(), "[PARTIAL RECV ", rx_.data(), rxCount_ + got, "]");
      Reset();
      return;
    }
  }
  rxCount_ = need;
  if (Crc16(rx_.data(), static_cast<size_t>(rxCount_)) != 0) {
    TraceBytes(ctx_.Trace(), "[BAD CRC ", rx_.data(), rxCount_, "]");
    Resynchronise(port);
  }
  txLength_ = 0;
  rxReadPos_ = 0;
}

// A reply behind a stray byte (or with a damaged one) is found again by sliding
// the held window one byte at a time over what follows, for at most 100 ms.
void Packet::Resynchronise(SerialPort* port) {
  if (rxCount_ <= 0) return;
  const uint32_t start = ctx_.clock.TickMs();
  for (;;) {
    std::memmove(rx_.data(), rx_.data() + 1, static_cast<size_t>(rxCount_ - 1));
    const int got = port ? port->Receive(rx_.data() + rxCount_ - 1, 1) : -1;
    if (ReadFailed(port, got)) return;
    bytesReceived_ += 1;
    if (Crc16(rx_.data(), static_cast<size_t>(rxCount_)) == 0) {
      TraceBytes(ctx_.Trace(), "[GOOD CRC ", rx_.data(), rxCount_, "]");
      return;
    }
    if (static_cast<uint32_t>(ctx_.clock.TickMs() - start) > kResyncLimitMs) {
      ctx_.Trace() << "[TIMEOUT]\r\n";
      Reset();
      if (port) port->Purge();
      return;
    }
  }
}

uint8_t Packet::NextReplyByte() {
  const int pos = rxReadPos_;
  if (rxReadPos_ < kRxSize) ++rxReadPos_;  // counts what the caller parsed
  return pos < rxCount_ ? rx_[static_cast<size_t>(pos)] : 0;
}

uint32_t Packet::ReadField(int width) {
  uint32_t v = 0;
  for (int i = 0; i < width; ++i) v = (v << 8) | NextReplyByte();
  return v;
}

bool Packet::ReplyHeaderIs(uint8_t address, uint16_t code) {
  const uint32_t a = ReadField(1), f = ReadField(1), c = ReadField(2);
  return a == address && f == cmd::kCommand && c == code;
}

bool Packet::CheckReply(SerialPort* port) {
  if (rxCount_ == 0) return false;
  bool ok = false;
  const bool intact = Crc16(rx_.data(), static_cast<size_t>(rxCount_)) == 0;
  if (intact) {
    if (ctx_.settings.traceEnabled) TraceBytes(ctx_.Trace(), "[RECV ", rx_.data(), rxCount_, "]");
    if (rxReadPos_ + 2 != rxCount_) {
      ctx_.Detail() << "READ(" << Dec{rxReadPos_} << "): SIZE ERROR:" << Dec{rxCount_ - 2};
      TraceBytes(ctx_.Detail(), " [", rx_.data(), rxCount_, "]");
    } else {
      ok = true;
    }
  } else {
    TraceBytes(ctx_.Trace(), "[BAD CRC ", rx_.data(), rxCount_, "]");
  }
  if (ok) {
    Reset();
  } else if (!intact) {
    // An intact frame stays held (a retry of the same request is answered from
    // it); sliding it would only destroy it.
    Resynchronise(port);
  }
  txLength_ = 0;
  rxReadPos_ = 0;
  return ok;
}

void Packet::ProgressMarks(uint32_t done, uint32_t total) {
  if (total == 0) return;
  if (total != progressTotal_ || done < progressDone_) {
    progressTotal_ = total;
    progressDone_ = 0;
  }
  // Far past the total (a caller's wrong total) the line is capped rather than
  // flooding the console; 6000 is a hundred whole lines of dots.
  static constexpr double kMaxMark = 6000;
  const auto mark = [total](uint32_t v) {
    const double m = static_cast<double>(v) / static_cast<double>(total) * 60.0;
    return static_cast<int>(std::min(m, kMaxMark));
  };
  const int from = mark(progressDone_);
  const int to = mark(done);
  if (to <= from) return;
  OutStream& s = ctx_.Notice();
  for (int i = from; i < to; ++i) s << '.';
  progressDone_ = done;
}

void Packet::EndProgress() {
  ctx_.Notice() << "\r\n";
  progressDone_ = 0;
  progressTotal_ = 0;
}

uint64_t DataRate(uint32_t bytes, uint32_t ms) {
  const uint64_t t = ms == 0 ? 1 : ms;
  return uint64_t{bytes} * 11000 / t;
}

void WriteTransferSummary(OutStream& s, std::string_view label, uint32_t bytes, uint32_t ms) {
  s << label << std::to_string(bytes) << " : Time = " << std::to_string(ms) << " mS : Data rate = "
    << std::to_string(DataRate(bytes, ms)) << " baud\r\n";
}

}  // namespace corv
