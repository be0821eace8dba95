// GetLocalTime.
#include "platform/local_time.h"

#include <windows.h>

namespace corv {

DateTime CurrentDateTime() {
  SYSTEMTIME t{};
  GetLocalTime(&t);
  DateTime d;
  d.year = static_cast<uint8_t>(t.wYear - 2000);
  d.month = static_cast<uint8_t>(t.wMonth);
  d.day = static_cast<uint8_t>(t.wDay);
  d.hour = static_cast<uint8_t>(t.wHour);
  d.minute = static_cast<uint8_t>(t.wMinute);
  d.second = static_cast<uint8_t>(t.wSecond);
  return d;
}

}  // namespace corv
