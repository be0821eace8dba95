// The process environment the program heeds, read in one place at start-up:
// CORVANTAPORT, CORVUPDATER and CORVANTALOCKDIR. (The machine folder's
// CORVANTAROOT belongs to the POSIX backends, read at the same moment by
// ReadSystemEnvironment: platform/posix/machine_folder.h.)
#pragma once
#include <string>

#include "platform/environment.h"
#include "support/settings.h"

namespace corv {

struct StartEnvironment {
  std::string port;        // CORVANTAPORT: the port when the command line names none
  std::string homeFolder;  // CORVUPDATER: the home folder, ahead of the parameter file's
  std::string lockFolder;  // CORVANTALOCKDIR: where port lock files are made; "" makes none
};

StartEnvironment ReadStartEnvironment(const EnvLookup& env);

// The home and lock folders into the run settings (the port goes through the
// command line, which may name one of its own).
void ApplyStartEnvironment(const StartEnvironment& environment, RunSettings& settings);

}  // namespace corv
