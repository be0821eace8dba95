// The hive reader and writer on arbitrary hive files. Input: value path, NUL,
// text, NUL, then the hive's bytes. Reading and writing must not crash; a
// string written reads back, and the value the program keeps (the last port)
// is unchanged by a write of another value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_dir.h"
#include "support/files.h"
#include "platform/hive_file.h"

namespace {

constexpr const char* kPortValue = "SOFTWARE\\Oxlerand\\Corvanta\\CommPort";

bool Printable(const std::string& text) {
  for (char c : text) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

// A path the hive can name: printable, with a key part that does not begin
// with the hive's own name (which a section header may carry and drops).
bool Nameable(const std::string& path) {
  const size_t slash = path.rfind('\\');
  if (slash == std::string::npos || !Printable(path)) return false;
  return corv::UpperCase(path).rfind("HKEY_LOCAL_MACHINE", 0) != 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string fields[2];
  const std::string bytes = corv::fuzz::Fields(data, size, fields);
  const std::string& path = fields[0];
  const std::string& text = fields[1];
  const std::string hive = corv::fuzz::Scratch() / "registry.reg";
  corv::fuzz::WriteWhole(hive, bytes);

  (void)corv::RegGetString(hive, path);
  const std::string port = corv::RegGetString(hive, kPortValue);
  corv::RegSetString(hive, path, text);
  const std::string after = corv::RegGetString(hive, path);

  if (!Nameable(path) || !Printable(text) || text.size() > 256) return 0;
  if (after != text) std::abort();
  if (corv::UpperCase(path) != corv::UpperCase(kPortValue) && corv::RegGetString(hive, kPortValue) != port) std::abort();
  return 0;
}
