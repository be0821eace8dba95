// getenv.
#include "platform/environment.h"

#include <cstdlib>

namespace corv {

std::string EnvironmentValue(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

}  // namespace corv
