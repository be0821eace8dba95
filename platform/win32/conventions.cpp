// Windows names: "\" appended, F:\EPROM\Corvanta\Current, CorvBoot.exe, and
// "/" always begins options.
#include "platform/conventions.h"

namespace corv {

char AppendedSeparator() { return '\\'; }
const char* DefaultHomeFolder() { return "F:\\EPROM\\Corvanta\\Current"; }
const char* BootProgramFile() { return "CorvBoot.exe"; }
bool SlashPathsAreFiles() { return false; }

}  // namespace corv
