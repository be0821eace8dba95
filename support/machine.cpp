// Where the machine folder is.
#include "support/machine.h"

#include "support/files.h"

namespace corv {

bool MachineFolderFromEnvironment() { return !EnvironmentValue("CORVANTAROOT").empty(); }

std::string MachineFolder() {
  std::string root = EnvironmentValue("CORVANTAROOT");
  return root.empty() ? std::string("/var/lib/corvanta") : root;
}

std::string MachineHivePath() { return WithTrailingSeparator(MachineFolder()) + "registry.reg"; }

}  // namespace corv
