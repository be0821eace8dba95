// The machine folder: the one folder that stands for "this PC" on POSIX (its
// COM port entries and its machine-wide registry hive). Read, never created.
#pragma once
#include <string>

namespace corv {

// $CORVANTAROOT when set and not empty, otherwise /var/lib/corvanta.
std::string MachineFolder();
// True when the folder came from CORVANTAROOT.
bool MachineFolderFromEnvironment();
// The local-machine hive file: <machine folder>/registry.reg.
std::string MachineHivePath();

}  // namespace corv
