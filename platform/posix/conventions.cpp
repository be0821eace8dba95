// POSIX names: "/" appended, /opt/corvanta/current, CorvBoot without ".exe",
// absolute paths that begin with "/".
#include "platform/conventions.h"

namespace corv {

char AppendedSeparator() { return '/'; }
const char* DefaultHomeFolder() { return "/opt/corvanta/current"; }
const char* BootProgramFile() { return "CorvBoot"; }
bool SlashPathsAreFiles() { return true; }

}  // namespace corv
