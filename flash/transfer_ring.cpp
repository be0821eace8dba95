// The transfer ring: sending ahead within the window, collecting replies under
// the transfer's acknowledgement policy, and sending again after a damaged one.
#include "flash/transfer_ring.h"

#include <algorithm>
#include <cstring>

namespace corv {

TransferRing::TransferRing(Link& link, AckPolicy& policy, int window)
    : link_(link), policy_(policy), window_(std::clamp(window, 1, kSlots - 1)) {}

bool TransferRing::Write(uint32_t address, const uint8_t* data, uint32_t length) {
  if (!HasRoom() && !WaitForOne()) return false;
  RingBlock& b = slots_[tail_];
  b.address = address;
  b.length = std::min(length, RingBlock::kMaxLength);
  if (b.length) std::memcpy(b.data, data, b.length);
  b.sequence = sequence_++;
  b.acknowledged = false;
  b.status = 0;
  tail_ = After(tail_);
  ++inFlight_;
  policy_.Request(b).Send();
  return true;
}

bool TransferRing::Drain() {
  while (!Empty()) {
    if (!WaitForOne()) return false;
  }
  return true;
}

void TransferRing::Resend() {
  const int count = policy_.rules.resendAll ? inFlight_ : 1;
  for (int i = 0; i < count; ++i) policy_.Request(InFlightAt(i)).Send();
}

bool TransferRing::Release(int count, uint8_t status, uint32_t address) {
  for (int i = 0; i < count && inFlight_ > 0; ++i) {
    head_ = After(head_);
    --inFlight_;
  }
  if (status == 0) return true;
  link_.ctx.Notice() << "\r\nUnit reported hardware failure, cannot write to " << policy_.rules.memory
                     << ". Address=$" << Hex{address, 8} << ", Result=" << Hex{status, 2} << "\r\n";
  return false;
}

// Frees the head once it is acknowledged. Only a damaged reply makes blocks go
// out again: a unit that lost a block answers what it got, so nothing else
// tells the program which blocks arrived.
bool TransferRing::WaitForOne() {
  const bool selective = policy_.rules.scheme == AckPolicy::Scheme::Selective;
  const auto releaseHead = [&] {
    const RingBlock& head = slots_[head_];
    return Release(1, head.status, head.address);
  };
  Exchange reply = policy_.Request(Head());
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (slots_[head_].acknowledged) return releaseHead();
    RingAck a;
    const Exchange::Received got = reply.Receive([&](ReplyFields& f) {
      policy_.Read(f, a);
      return true;
    });
    if (!got.intact || (policy_.rules.resendOnForeign && !got.header)) {
      Resend();
    } else if (got.header && selective) {
      for (int i = 0; i < inFlight_; ++i) {
        RingBlock& b = slots_[(head_ + i) % kSlots];
        if (b.acknowledged || !policy_.Answers(b, a)) continue;
        b.acknowledged = true;
        b.status = a.status;
        break;
      }
      if (slots_[head_].acknowledged) return releaseHead();
    } else if (got.header) {
      const int covered = policy_.Covers(*this, a);
      if (covered > 0) return Release(covered, a.status, a.address);
    }
    link_.ctx.Detail() << "!";
  }
  return false;
}

}  // namespace corv
