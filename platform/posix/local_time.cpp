// localtime_r.
#include "platform/local_time.h"

#include <ctime>

namespace corv {

DateTime CurrentDateTime() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  DateTime d;
  d.year = static_cast<uint8_t>(tm.tm_year - 100);
  d.month = static_cast<uint8_t>(tm.tm_mon + 1);
  d.day = static_cast<uint8_t>(tm.tm_mday);
  d.hour = static_cast<uint8_t>(tm.tm_hour);
  d.minute = static_cast<uint8_t>(tm.tm_min);
  d.second = static_cast<uint8_t>(tm.tm_sec);
  return d;
}

}  // namespace corv
