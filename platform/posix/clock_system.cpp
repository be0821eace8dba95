// The process's real clock: CLOCK_MONOTONIC milliseconds and nanosleep.
#include <cerrno>
#include <ctime>

#include "platform/posix/held_record.h"
#include "platform/clock.h"

namespace corv {

namespace {
class MonotonicClock : public Clock {
 public:
  // The tick the held record stamps a signal's log line with.
  uint32_t TickMs() override { return held::posix::TickMs(); }
  void SleepMs(uint32_t ms) override {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
  }
};
}  // namespace

Clock& SystemClock() {
  static MonotonicClock clock;
  return clock;
}

}  // namespace corv
