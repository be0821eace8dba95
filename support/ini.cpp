// Reading and rewriting the parameter file.
#include "support/ini.h"

#include "support/files.h"

namespace corv {

namespace {

// Ends the run when the file cannot be read or rewritten, naming the file and
// the system's reason.
[[noreturn]] void IniFatal(Context& ctx, const std::string& file, int errorNumber) {
  ctx.Plain() << "Fatal error: " << file << ": " << SystemReason(errorNumber) << "\r\n";
  ExitRun(ctx, 1);
}

std::string_view KeyOf(std::string_view line) {
  size_t eq = line.find('=');
  return eq == std::string_view::npos ? line : line.substr(0, eq);
}

// The whole file when it exists ("" when it does not); a file that is there
// but cannot be read ends the run, and so does a name the system cannot even
// look up (a folder on its way closed to us): reading that as a missing file
// would turn a job into a plain run without a word.
std::string Contents(Context& ctx, const std::string& file, bool& exists) {
  std::string bytes;
  if (file.empty()) {  // no name, no file
    exists = false;
    return bytes;
  }
  int error = 0;
  const FileLookup found = LookUpFile(file, error);
  if (found == FileLookup::Unknown) IniFatal(ctx, file, error);
  exists = found == FileLookup::Present;
  if (exists && !ReadWholeFile(file, bytes, error)) IniFatal(ctx, file, error);
  return bytes;
}

}  // namespace

std::string ReadIniString(Context& ctx, const std::string& file, std::string_view key) {
  bool exists = false;
  const std::string bytes = Contents(ctx, file, exists);
  size_t pos = 0;
  for (std::string_view line; NextLine(bytes, pos, line);) {
    if (KeyOf(line) != key) continue;
    size_t eq = line.find('=');
    return eq == std::string_view::npos ? std::string() : std::string(line.substr(eq + 1));
  }
  return {};
}

int32_t ReadIniInt(Context& ctx, const std::string& file, std::string_view key) {
  return DecimalValue(ReadIniString(ctx, file, key));
}

bool ReadIniBool(Context& ctx, const std::string& file, std::string_view key) {
  std::string v = ReadIniString(ctx, file, key);
  return v == "1" || UpperCase(v) == "TRUE";
}

void WriteIniString(Context& ctx, const std::string& file, std::string_view key, std::string_view value) {
  bool exists = false;
  const std::string old = Contents(ctx, file, exists);
  // A line written here ends as the file's first line does, so that the file
  // never mixes two kinds: LF alone in a file written so (on Linux), CR LF in
  // any other and in a new one, as the product line's other tools write them.
  const size_t firstEnd = old.find_first_of("\r\n");
  const std::string_view lineEnd = firstEnd != std::string::npos && old[firstEnd] == '\n' ? "\n" : "\r\n";
  const std::string replacement = std::string(key) + "=" + std::string(value) + std::string(lineEnd);

  // Every line but the replaced ones goes over as it was, its own line end
  // included.
  std::string out;
  bool matched = false;
  size_t pos = 0;
  for (std::string_view line; pos < old.size();) {
    const size_t start = pos;
    NextLine(old, pos, line);
    if (KeyOf(line) == key) {
      out += replacement;
      matched = true;
    } else {
      out.append(old, start, pos - start);
    }
  }
  if (!matched) {
    // The added line starts a line of its own.
    if (!out.empty() && out.back() != '\r' && out.back() != '\n') out += lineEnd;
    out += replacement;
  }

  // The new file takes the old one's place in one step: there is never a moment
  // without a whole parameter file.
  const ReplaceResult r = ReplaceWholeFile(file, file + ".000", out);
  if (r.step == ReplaceStep::TempFile) IniFatal(ctx, file, r.errorNumber);
  if (r.step == ReplaceStep::Rename) {
    ctx.Plain() << "INI File is locked: " << file << "\r\n";
    ExitRun(ctx, 1);
  }
}

void WriteIniInt(Context& ctx, const std::string& file, std::string_view key, int32_t value) {
  WriteIniString(ctx, file, key, NumberText(value, 0));
}

void WriteIniBool(Context& ctx, const std::string& file, std::string_view key, bool value) {
  WriteIniString(ctx, file, key, value ? "true" : "false");
}

}  // namespace corv
