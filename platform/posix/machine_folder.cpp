// Where the machine folder is: the one reading of CORVANTAROOT and the one
// default.
#include "platform/posix/machine_folder.h"

#include "platform/environment.h"
#include "support/files.h"

namespace corv {

namespace {
constexpr const char* kDefaultMachineFolder = "/var/lib/corvanta";
}  // namespace

bool MachineFolderFromEnvironment() { return !EnvironmentValue("CORVANTAROOT").empty(); }

std::string MachineFolder() {
  std::string root = EnvironmentValue("CORVANTAROOT");
  return root.empty() ? std::string(kDefaultMachineFolder) : root;
}

std::string MachineHivePath() {
  return WithTrailingSeparator(MachineFolder()) + "registry.reg";
}

}  // namespace corv
