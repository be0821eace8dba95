// The process's real clock: GetTickCount64 milliseconds and Sleep.
#include <windows.h>

#include "platform/win32/held_record.h"
#include "platform/clock.h"

namespace corv {

namespace {
class TickClock : public Clock {
 public:
  // The tick the held record stamps an abort's log line with.
  uint32_t TickMs() override { return held::win32::TickMs(); }
  void SleepMs(uint32_t ms) override { Sleep(ms); }
};
}  // namespace

Clock& SystemClock() {
  static TickClock clock;
  return clock;
}

}  // namespace corv
