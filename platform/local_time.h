// The wall-clock date and time in the local time zone.
#pragma once
#include <cstdint>

namespace corv {

// Local time now: year - 2000, month 1..12, day, hour, minute, second.
struct DateTime {
  uint8_t year = 0, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};
DateTime CurrentDateTime();

}  // namespace corv
