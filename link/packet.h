// The packet layer of the unit link: builds request frames (address, function,
// code, big-endian parameters, CRC-16 low byte first), sends them through the
// port seam, receives replies of known length, repairs shifted replies, parses
// their fields and checks them. It holds the last request and any reply bytes
// so that a retry of the very same request is answered from a held good reply
// without a second transmission. Also: the byte counters, the per-packet trace,
// the 60-dot progress line and the transfer summary line.
//
// The steps of a transaction (BeginRequest and the fields, SendPacket,
// ReceiveReply, the reply's fields, CheckReply) are run by the exchange of
// link/exchange.h, not by the commands themselves. A null port counts as a
// failed send/receive.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/port.h"
#include "support/context.h"
#include "support/stream.h"

namespace corv {

class Packet {
 public:
  static constexpr int kTxSize = 20000;  // request with its check
  static constexpr int kRxSize = 20002;  // reply before its check, plus the check
  static constexpr uint32_t kResyncLimitMs = 100;

  explicit Packet(Context& ctx);
  Packet(const Packet&) = delete;
  Packet& operator=(const Packet&) = delete;

  // --- Building a request.
  void BeginRequest();
  void Append8(uint8_t v);
  // Parameters as the exchange encoded them (numbers most significant byte
  // first, texts without a terminator).
  void AppendBytes(const uint8_t* data, size_t n);
  // BeginRequest, then address, 0x45 and the code.
  void BeginCommand(uint8_t address, uint16_t code);
  // BeginRequest, then address and 0x41.
  void BeginQuick(uint8_t address);

  // Appends the check and writes the frame (n = bytes appended, without the
  // check); a request whose reply is already held is not written again.
  void SendPacket(SerialPort* port, int n);
  // Reads until n + 2 bytes are held and verifies them (n without the check).
  void ReceiveReply(SerialPort* port, int n);

  // --- Parsing the reply.
  uint8_t NextReplyByte();     // 0 past the held bytes
  uint32_t ReadField(int width);  // 1, 2 or 4 bytes, most significant first
  // Reads address, function and code and tells whether they are these.
  bool ReplyHeaderIs(uint8_t address, uint16_t code);
  // After every field was read: intact and fully parsed.
  bool CheckReply(SerialPort* port);

  // Nothing held: the next request is sent in full. Also used on every reopen.
  void Reset();

  // --- Counters (never reset here; bulk transfers take differences).
  uint32_t BytesSent() const { return bytesSent_; }
  uint32_t BytesReceived() const { return bytesReceived_; }

  // --- Progress line of bulk transfers (notice stream).
  void ProgressMarks(uint32_t done, uint32_t total);
  void EndProgress();

  // --- State, for the link's own checks and for tests.
  int TxLength() const { return txLength_; }
  int TxValid() const { return txValid_; }
  int RxCount() const { return rxCount_; }
  int RxReadPos() const { return rxReadPos_; }
  const uint8_t* TxData() const { return tx_.data(); }
  const uint8_t* RxData() const { return rx_.data(); }

 private:
  void PutByte(uint8_t b);  // the transmit byte rule
  void DiscardHeld();
  void Resynchronise(SerialPort* port);
  bool ReadFailed(SerialPort* port, int got);  // -1 or 0 from the port: traced, nothing held
  void NameFailure(SerialPort* port);          // the port's reason for a failed transfer, once
  void TraceBytes(OutStream& s, std::string_view open, const uint8_t* data, int n, std::string_view close);

  Context& ctx_;
  std::vector<uint8_t> tx_;
  std::vector<uint8_t> rx_;
  int txLength_ = 0;
  int txValid_ = 0;
  int rxCount_ = 0;
  int rxReadPos_ = 0;
  uint32_t bytesSent_ = 0;
  uint32_t bytesReceived_ = 0;
  uint32_t progressDone_ = 0;
  uint32_t progressTotal_ = 0;
};

// floor(bytes * 11000 / ms): bytes per second times 11 bits. A transfer quicker
// than one tick counts as 1 ms.
uint64_t DataRate(uint32_t bytes, uint32_t ms);

// "<label>N : Time = T mS : Data rate = R baud" and a line end, where label is
// "Bytes sent = " or "Bytes received = ".
void WriteTransferSummary(OutStream& s, std::string_view label, uint32_t bytes, uint32_t ms);

}  // namespace corv
