// The ring of blocks in flight during an overlapped transfer, for every kind
// of block (RAM download, flash blocks, flash-drive files, strings): 9 slots,
// the head is the oldest block not yet acknowledged and the tail the next free
// slot, so at most 8 blocks are out at once; the window may allow fewer. The
// ring sends each block, collects the replies (20 attempts for each block it
// waits for, "!" after each failed one) and releases blocks from the head as
// they are acknowledged. How a reply acknowledges blocks, and what goes out
// again when a reply is damaged, is the transfer's acknowledgement policy.
#pragma once
#include <cstdint>
#include <string_view>

#include "link/exchange.h"
#include "link/link.h"

namespace corv {

struct RingBlock {
  static constexpr uint32_t kMaxLength = 129;
  uint32_t address = 0;  // address or file offset
  uint8_t data[kMaxLength] = {};
  uint32_t length = 0;
  uint16_t sequence = 0;      // the ring numbers its blocks from 0
  bool acknowledged = false;  // answered ahead of the head (selective schemes)
  uint8_t status = 0;         // the unit's result for it, once answered
};

// The fields of one acknowledgement, as far as a scheme has them.
struct RingAck {
  uint32_t address = 0;
  uint32_t length = 0;
  uint16_t sequence = 0;
  uint8_t status = 0;
  uint32_t file = 0;
};

class TransferRing;

// One acknowledgement scheme: the request of a block, the reading of a reply,
// and which blocks a reply acknowledges.
class AckPolicy {
 public:
  enum class Scheme {
    Selective,   // a reply answers one block, kept until the head is answered
    Cumulative,  // a reply answers every block from the head up to its own
  };
  struct Rules {
    Scheme scheme = Scheme::Selective;
    bool resendAll = false;      // a damaged reply sends every block again (else the head)
    bool resendOnForeign = false;  // so does an intact reply under another header
    std::string_view memory = {};  // "flash memory", "flash drive": named on a unit failure
  };

  explicit AckPolicy(Rules rules) : rules(rules) {}
  virtual ~AckPolicy() = default;

  // The request that carries the block; its reply is read through it as well.
  virtual Exchange Request(const RingBlock& b) = 0;
  // Reads one reply's fields.
  virtual void Read(ReplyFields& f, RingAck& a) = 0;
  // Selective: whether the reply answers block b.
  virtual bool Answers(const RingBlock& /*b*/, const RingAck& /*a*/) { return false; }
  // Cumulative: how many blocks from the head the reply acknowledges; 0 when
  // it names none in flight (a late reply, or one never asked for).
  virtual int Covers(const TransferRing& /*ring*/, const RingAck& /*a*/) { return 0; }

  const Rules rules;
};

class TransferRing {
 public:
  static constexpr int kSlots = 9;
  static constexpr int kAttempts = 20;

  TransferRing(Link& link, AckPolicy& policy, int window);

  // Sends one block, waiting first for the head's acknowledgement when the
  // window is full. False when that wait gives up or the unit reports failure.
  bool Write(uint32_t address, const uint8_t* data, uint32_t length);
  // Waits until every block in flight is acknowledged.
  bool Drain();

  int InFlight() const { return inFlight_; }
  int Window() const { return window_; }
  bool Empty() const { return inFlight_ == 0; }
  // The i-th block in flight, 0 being the head.
  const RingBlock& InFlightAt(int i) const { return slots_[(head_ + i) % kSlots]; }
  const RingBlock& Head() const { return slots_[head_]; }
  const RingBlock& Newest() const { return InFlightAt(inFlight_ - 1); }

 private:
  static int After(int i) { return (i + 1) % kSlots; }
  bool HasRoom() const { return inFlight_ < window_ && After(tail_) != head_; }
  bool WaitForOne();
  void Resend();
  // Releases `count` blocks from the head; a status other than 0 is the unit's
  // failure at `address`.
  bool Release(int count, uint8_t status, uint32_t address);

  Link& link_;
  AckPolicy& policy_;
  RingBlock slots_[kSlots];
  int head_ = 0;
  int tail_ = 0;
  int inFlight_ = 0;
  int window_;
  uint16_t sequence_ = 0;
};

}  // namespace corv
