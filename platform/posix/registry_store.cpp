// The machine-wide registry as the REGEDIT4 hive file in the machine folder.
#include "platform/registry_store.h"

#include "platform/posix/machine_folder.h"
#include "platform/hive_file.h"

namespace corv {

std::string RegGetMachineString(std::string_view path) { return RegGetString(MachineHivePath(), path); }

int RegSetMachineString(std::string_view path, std::string_view text) {
  RegSetString(MachineHivePath(), path, text);
  return 0;
}

}  // namespace corv
