// Reading the environment at start-up.
#include "run/start_environment.h"

namespace corv {

StartEnvironment ReadStartEnvironment(const EnvLookup& env) {
  StartEnvironment e;
  e.port = env("CORVANTAPORT");
  e.homeFolder = env("CORVUPDATER");
  e.lockFolder = env("CORVANTALOCKDIR");
  return e;
}

void ApplyStartEnvironment(const StartEnvironment& environment, RunSettings& settings) {
  settings.homeFolder = environment.homeFolder;
  settings.lockFolder = environment.lockFolder;
}

}  // namespace corv
