// strerror_r, in whichever of its two forms the C library offers.
#include "platform/system_error.h"

#include <cerrno>
#include <cstring>

namespace corv {

std::string SystemReason(int errorNumber) {
  char buf[256];
  // The GNU strerror_r may return a static text instead of filling buf.
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
  const char* text = strerror_r(errorNumber, buf, sizeof buf);
#else
  const char* text = strerror_r(errorNumber, buf, sizeof buf) == 0 ? buf : "Unknown error";
#endif
  std::string t(text);
  if (t.size() > 255) t.resize(255);
  return t;
}

std::string SystemErrorText(int errorNumber) { return "Error: " + SystemReason(errorNumber); }

int NoSuchDeviceError() { return ENOENT; }
int InvalidSettingError() { return EINVAL; }

}  // namespace corv
