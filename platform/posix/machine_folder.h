// The machine folder: the one folder that stands for "this PC" on POSIX (its
// COM port entries and its machine-wide registry hive). Read, never created.
// CORVANTAROOT is read into the machine record once, at start-up
// (ReadSystemEnvironment), or at the first use when nothing read it before.
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
