// Path texts: the separators every system's paths may hold.
#include "platform/path_text.h"

#include "platform/conventions.h"

namespace corv {

bool IsPathSeparator(char c) { return c == '/' || c == ':' || c == '\\'; }

std::string DirectoryPart(std::string_view path) {
  for (size_t i = path.size(); i > 0; --i) {
    if (IsPathSeparator(path[i - 1])) return std::string(path.substr(0, i - 1));
  }
  return {};
}

std::string WithTrailingSeparator(std::string_view path) {
  if (!path.empty() && IsPathSeparator(path.back())) return std::string(path);
  return std::string(path) + AppendedSeparator();
}

}  // namespace corv
