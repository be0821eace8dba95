// The parameter-file reader and writer on arbitrary files. Input: key, NUL,
// value, NUL, then the file's bytes. Reading and rewriting must not crash;
// after a rewrite the key reads back as written, once and twice, and the keys
// a job file holds read as before (when key and value can stand on one line).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <string>

#include "fuzz/fuzz_dir.h"
#include "platform/console.h"
#include "support/files.h"
#include "support/ini.h"

namespace {

bool OneLine(const std::string& text) { return text.find_first_of("\r\n") == std::string::npos; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string fields[2];
  const std::string bytes = corv::fuzz::Fields(data, size, fields);
  const std::string& key = fields[0];
  const std::string& value = fields[1];
  const std::string file = corv::fuzz::Scratch() / "job.ini";
  corv::fuzz::WriteWhole(file, bytes);

  corv::ScriptedConsole console;
  corv::VirtualClock clock;
  corv::Context ctx(console, clock);
  static const char* const kJobKeys[] = {"CorvManufacture", "Program", "SerialNo", "Message"};
  std::string before[std::size(kJobKeys)];
  try {
    for (size_t i = 0; i < std::size(kJobKeys); ++i) before[i] = corv::ReadIniString(ctx, file, kJobKeys[i]);
    (void)corv::ReadIniString(ctx, file, key);
    (void)corv::ReadIniInt(ctx, file, "Program");
    (void)corv::ReadIniBool(ctx, file, "CorvManufacture");
    corv::WriteIniString(ctx, file, key, value);
  } catch (const corv::RunExit&) {
    std::abort();  // a readable file in a writable folder never ends the run
  }
  if (!console.Output().empty()) std::abort();

  const bool fits = key.size() + 1 + value.size() <= corv::kMaxLineLength;
  if (OneLine(key) && OneLine(value) && key.find('=') == std::string::npos && fits) {
    if (corv::ReadIniString(ctx, file, key) != value) std::abort();
    corv::WriteIniString(ctx, file, key, value);
    if (corv::ReadIniString(ctx, file, key) != value) std::abort();
    // Rewriting one key leaves what the others read alone.
    for (size_t i = 0; i < std::size(kJobKeys); ++i) {
      if (key != kJobKeys[i] && corv::ReadIniString(ctx, file, kJobKeys[i]) != before[i]) std::abort();
    }
  }
  return 0;
}
