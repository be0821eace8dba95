// FormatMessageA on the system's message table.
#include "platform/system_error.h"

#include <windows.h>

namespace corv {

std::string SystemReason(int errorNumber) {
  char buf[256];
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                 static_cast<DWORD>(errorNumber), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buf,
                                 sizeof buf, nullptr);
  if (n == 0) return "Unknown error " + std::to_string(errorNumber);
  std::string t(buf, n);
  // The table's texts end with a line end of their own; the messages add theirs.
  while (!t.empty() && (t.back() == '\r' || t.back() == '\n' || t.back() == ' ')) t.pop_back();
  if (t.size() > 255) t.resize(255);
  return t;
}

std::string SystemErrorText(int errorNumber) { return "Error: " + SystemReason(errorNumber); }

int NoSuchDeviceError() { return ERROR_FILE_NOT_FOUND; }
int InvalidSettingError() { return ERROR_INVALID_PARAMETER; }

}  // namespace corv
