// The ring of blocks in flight during an overlapped transfer: 9 slots, the
// head is the oldest unacknowledged block, the tail the next free slot, so at
// most 8 blocks are out at once; the window may allow fewer.
#pragma once
#include <cstdint>
#include <cstring>

namespace corv {

struct RingSlot {
  uint32_t address = 0;
  uint8_t data[129] = {};
  uint32_t length = 0;
  uint16_t sequence = 0;
  bool acknowledged = false;
};

class TransferRing {
 public:
  static constexpr int kSlots = 9;

  explicit TransferRing(int window) : window_(window < 1 ? 1 : window) {}

  static int After(int i) { return (i + 1) % kSlots; }
  int Head() const { return head_; }
  int Tail() const { return tail_; }
  int InFlight() const { return inFlight_; }
  int Window() const { return window_; }
  bool Empty() const { return inFlight_ == 0; }
  // A new block may go out without waiting for an acknowledgement first.
  bool HasRoom() const { return inFlight_ < window_ && After(tail_) != head_; }

  RingSlot& At(int i) { return slots_[i]; }
  RingSlot& HeadSlot() { return slots_[head_]; }

  // Stores a block in the tail slot and moves the tail on.
  RingSlot& Push(uint32_t address, const uint8_t* data, uint32_t length, uint16_t sequence) {
    RingSlot& s = slots_[tail_];
    s.address = address;
    s.length = length > sizeof s.data ? sizeof s.data : length;
    if (s.length) std::memcpy(s.data, data, s.length);
    s.sequence = sequence;
    s.acknowledged = false;
    tail_ = After(tail_);
    ++inFlight_;
    return s;
  }
  // The head block is done with.
  void Release() {
    if (inFlight_ == 0) return;
    head_ = After(head_);
    --inFlight_;
  }

 private:
  RingSlot slots_[kSlots];
  int head_ = 0;
  int tail_ = 0;
  int inFlight_ = 0;
  int window_;
};

}  // namespace corv
