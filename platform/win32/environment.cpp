// GetEnvironmentVariableA. Windows has no machine folder: nothing else is read
// from the environment at start-up.
#include "platform/environment.h"

#include <windows.h>

#include <vector>

namespace corv {

std::string EnvironmentValue(const char* name) {
  std::vector<char> buf(256);
  for (;;) {
    SetLastError(0);
    const DWORD n = GetEnvironmentVariableA(name, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return {};
    if (n < buf.size()) return std::string(buf.data(), n);
    buf.resize(n);  // n counts the terminating zero when the buffer was short
  }
}

void ReadSystemEnvironment() {}

}  // namespace corv
