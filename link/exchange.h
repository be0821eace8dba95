// One request and its reply: the only code that runs the packet steps. An
// exchange holds the request (address, command, parameters) and, per attempt,
// does BeginRequest with the header and parameters, SendPacket, ReceiveReply,
// reads the echoed address, function and code and the reply's fields, and
// CheckReply; it counts the attempts and leaves the "!" marks of the caller's
// retry policy. Each command is a small typed function around one exchange.
//
//   uint16_t size = 0;
//   Exchange x(link, link.bootAddress, cmd::kGetBufferSize);
//   if (x.Run(Tries{2}, [&](ReplyFields& r) { size = r.U16(); return true; })) ...
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "link/commands.h"
#include "link/link.h"

namespace corv {

// The caller's retry policy.
struct Tries {
  int attempts = 1;
  bool marks = false;          // "!" on the detail stream after each failed attempt
  bool readAfterLate = false;  // after an intact reply to another request, only read
  bool escapable = false;      // Escape before an attempt ends the run ("Aborted")
};

// The reply's payload fields in order, most significant byte first; zeros
// past the bytes held.
class ReplyFields {
 public:
  explicit ReplyFields(Packet& packet) : p_(packet) {}
  uint8_t U8() { return static_cast<uint8_t>(p_.ReadField(1)); }
  uint16_t U16() { return static_cast<uint16_t>(p_.ReadField(2)); }
  uint32_t U32() { return p_.ReadField(4); }
  void Bytes(uint8_t* out, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = p_.NextReplyByte();
  }

 private:
  Packet& p_;
};

class Exchange {
 public:
  // Reads the payload fields; tells whether their echo answers this request.
  using Parse = std::function<bool(ReplyFields&)>;
  // Judges a reply that passed every check (a read-back compared, say).
  using Accept = std::function<bool()>;

  // A command (function 0x45) to `address`.
  Exchange(Link& link, uint8_t address, const cmd::Command& command);
  // The quick response request (function 0x41, answered with 0x42).
  static Exchange Quick(Link& link, uint8_t address);

  // The request's parameters, most significant byte first.
  Exchange& U8(uint8_t v);
  Exchange& U16(uint16_t v);
  Exchange& U32(uint32_t v);
  Exchange& Text(std::string_view text);
  // A block of bytes; it is the command's data block when it has one.
  Exchange& Data(const uint8_t* data, size_t n);
  // The reply carries a data block of n bytes.
  Exchange& ReplyData(int n);

  // Up to tries.attempts: the request, its reply, its fields. True once a
  // reply passes CheckReply, echoes address, function and code, its fields
  // answer this request and `accept` agrees.
  bool Run(const Tries& tries, const Parse& parse = {}, const Accept& accept = {});

  // The halves for the overlapped transfers: the request alone, and one reply
  // read without sending anything.
  void Send();
  struct Received {
    bool intact = false;   // CheckReply passed
    bool header = false;   // address, function and code echoed
    bool answers = false;  // the fields answer this request (Parse)
    bool Good() const { return intact && header && answers; }
  };
  Received Receive(const Parse& parse = {});

  // Attempts made by the last Run (the one that succeeded included).
  int Attempts() const { return attempts_; }

 private:
  Exchange(Link& link, uint8_t address);

  Link& link_;
  uint8_t address_;
  const cmd::Command* command_ = nullptr;  // none: the quick response request
  std::vector<uint8_t> params_;
  int requestData_ = 0;
  int replyData_ = 0;
  int attempts_ = 0;
};

}  // namespace corv
