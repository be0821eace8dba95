// How this system names what the program makes and looks for: the separator
// appended to a folder, the default home folder, the boot program's file name,
// and whether an argument that begins with "/" may be a path.
#pragma once

namespace corv {

// The separator the program appends to a folder ("/" or "\").
char AppendedSeparator();
// The home folder when neither CORVUPDATER nor CorvantaHomeDir names one.
const char* DefaultHomeFolder();
// The boot program's file name in <home><separator>bin.
const char* BootProgramFile();
// True where an argument that begins with "/" and holds a second "/" names a
// file (an absolute path) rather than a group of options.
bool SlashPathsAreFiles();

}  // namespace corv
