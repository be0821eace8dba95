// The clock seam: a millisecond tick count and a sleep. The system clock is
// the platform's monotonic tick and sleep; the virtual clock is moved by sleeps and by the
// virtual line, so tests of long waits cost no real time.
#pragma once
#include <cstdint>

namespace corv {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual uint32_t TickMs() = 0;
  virtual void SleepMs(uint32_t ms) = 0;
};

// The process's real clock (one shared instance; it holds no state).
Clock& SystemClock();

// Virtual time with microsecond resolution. Time only moves forward.
class VirtualClock : public Clock {
 public:
  uint32_t TickMs() override { return static_cast<uint32_t>(nowUs_ / 1000); }
  void SleepMs(uint32_t ms) override { AdvanceTo(nowUs_ + uint64_t{ms} * 1000); }
  uint64_t NowUs() const { return nowUs_; }
  void AdvanceTo(uint64_t us) {
    if (us > nowUs_) nowUs_ = us;
  }

 private:
  uint64_t nowUs_ = 0;
};

}  // namespace corv
