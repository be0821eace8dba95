// The ring of blocks in flight during an overlapped write to the unit's flash
// drive or strings area: 9 slots, so at most 8 blocks outstanding, and a window
// set by the MCU type. Here the head is the next free slot and the tail the
// oldest block still waiting for its acknowledgement.
#pragma once
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

namespace corv {

inline constexpr uint32_t kDriveBlockSize = 128;

struct DriveSlot {
  uint32_t offset = 0;
  std::array<uint8_t, kDriveBlockSize> data{};
  uint8_t length = 0;
  // Selective acknowledgement: an answer that came ahead of the tail's is kept
  // here, with its status, until the tail reaches this slot.
  bool acknowledged = false;
  uint8_t status = 0;
};

class DriveRing {
 public:
  static constexpr int kSlots = 9;

  explicit DriveRing(int window) : window_(std::clamp(window, 1, kSlots - 1)) {}

  int Outstanding() const { return count_; }
  bool Empty() const { return count_ == 0; }
  // A new block has to wait for an acknowledgement first.
  bool MustWait() const { return count_ >= window_ || Next(head_) == tail_; }

  // Stores a block in the head slot and counts it; the caller has made room.
  DriveSlot& Push(uint32_t offset, const uint8_t* data, uint8_t length) {
    DriveSlot& s = slots_[head_];
    s.offset = offset;
    std::memcpy(s.data.data(), data, length);
    s.length = length;
    s.acknowledged = false;
    s.status = 0;
    head_ = Next(head_);
    ++count_;
    return s;
  }

  // The i-th outstanding block, 0 being the tail (oldest).
  DriveSlot& At(int i) { return slots_[(tail_ + i) % kSlots]; }
  DriveSlot& Tail() { return slots_[tail_]; }
  DriveSlot& Newest() { return At(count_ - 1); }

  // The tail block is done with.
  void Release() {
    if (count_ == 0) return;
    tail_ = Next(tail_);
    --count_;
  }

 private:
  static int Next(int i) { return (i + 1) % kSlots; }

  std::array<DriveSlot, kSlots> slots_{};
  int head_ = 0;
  int tail_ = 0;
  int count_ = 0;
  int window_;
};

}  // namespace corv
