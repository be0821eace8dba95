// Where the machine folder is: the one reading of CORVANTAROOT and the one
// default, kept in the machine record.
#include "platform/posix/machine_folder.h"

#include "platform/environment.h"
#include "platform/path_text.h"

namespace corv {

namespace {

constexpr const char* kDefaultMachineFolder = "/var/lib/corvanta";

struct MachineRecord {
  bool read = false;
  bool fromEnvironment = false;
  std::string folder;
};

MachineRecord theMachine;

const MachineRecord& Machine() {
  if (!theMachine.read) ReadSystemEnvironment();
  return theMachine;
}

}  // namespace

void ReadSystemEnvironment() {
  const std::string root = EnvironmentValue("CORVANTAROOT");
  theMachine.fromEnvironment = !root.empty();
  theMachine.folder = root.empty() ? std::string(kDefaultMachineFolder) : root;
  theMachine.read = true;
}

bool MachineFolderFromEnvironment() { return Machine().fromEnvironment; }

std::string MachineFolder() { return Machine().folder; }

std::string MachineHivePath() { return WithTrailingSeparator(MachineFolder()) + "registry.reg"; }

}  // namespace corv
