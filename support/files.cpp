// Lines of text files, text helpers and command lines.
#include "support/files.h"

#include <algorithm>

namespace corv {

bool NextLine(std::string_view bytes, size_t& pos, std::string_view& line) {
  if (pos >= bytes.size()) return false;
  const size_t start = pos;
  const size_t limit = start + std::min(kMaxLineLength, bytes.size() - start);
  while (pos < limit && bytes[pos] != '\r' && bytes[pos] != '\n') ++pos;
  line = bytes.substr(start, pos - start);
  // A cut line keeps whatever follows for the next one, a line end too.
  if (pos < bytes.size() && line.size() < kMaxLineLength) {
    if (bytes[pos++] == '\r' && pos < bytes.size() && bytes[pos] == '\n') ++pos;
  }
  return true;
}

bool AllDigits(std::string_view text) {
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::string UpperCase(std::string_view text) {
  std::string t(text);
  for (char& c : t) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return t;
}

int Find(std::string_view text, std::string_view pattern, bool ignoreCase) {
  if (ignoreCase) {
    std::string t = UpperCase(text), p = UpperCase(pattern);
    size_t at = t.find(p);
    return at == std::string::npos ? -1 : static_cast<int>(at);
  }
  size_t at = text.find(pattern);
  return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

std::string NumberText(int32_t value, int digits) {
  TextStream t;
  t << Dec{value, digits};
  return t.Text();
}

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> args;
  size_t i = 0;
  while (i < line.size() && args.size() < kMaxArguments) {
    while (i < line.size() && line[i] == ' ') ++i;
    if (i >= line.size()) break;
    size_t start = i;
    if (line[i] == '"') {
      size_t close = line.find('"', i + 1);
      i = close == std::string_view::npos ? line.size() : close + 1;
    } else {
      while (i < line.size() && line[i] != ' ') ++i;
    }
    args.emplace_back(line.substr(start, i - start));
  }
  return args;
}

namespace {
std::string WithoutQuotes(const std::string& arg) {
  size_t b = 0, e = arg.size();
  if (e > 0 && arg[0] == '"') ++b;
  if (e > b && arg[e - 1] == '"') --e;
  return arg.substr(b, e - b);
}
}  // namespace

int RunProgram(std::string_view commandLine) {
  std::vector<std::string> args = SplitCommandLine(commandLine);
  if (args.empty()) return -1;
  // No shell or runtime stands between us and the child here to take quotes
  // away, so each argument reaches it as the child would have parsed it.
  for (auto& a : args) a = WithoutQuotes(a);
  return RunChildProgram(commandLine, args);
}

}  // namespace corv
