// Path texts: which characters separate the parts of a path, the folder part of
// a path, and a path made ready for a name to be appended.
#pragma once
#include <string>
#include <string_view>

namespace corv {

// "/", ":" and "\" all separate path parts; the separator appended is "/".
bool IsPathSeparator(char c);
// The text before the last separator ("C:\a\b.txt" gives "C:\a"), empty without one.
std::string DirectoryPart(std::string_view path);
// The path followed by "/" unless it already ends in a separator; "" gives "/".
std::string WithTrailingSeparator(std::string_view path);

}  // namespace corv
