// A private scratch folder for one fuzzing process, made on first use and
// removed at its exit. The fuzzed bytes only ever become the contents of files
// inside it, never a path.
#pragma once
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace corv::fuzz {

class ScratchDir {
 public:
  ScratchDir() {
    // In memory where there is such a folder: the writers sync every file.
    std::string base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
    std::string tmpl = base + "/corv-fuzz-XXXXXX";
    const char* made = mkdtemp(tmpl.data());
    if (!made) std::abort();
    path_ = made;
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string operator/(const char* name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline const ScratchDir& Scratch() {
  static const ScratchDir dir;
  return dir;
}

inline void WriteWhole(const std::string& path, const std::string& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) std::abort();
  std::fclose(f);
}

inline std::string ReadWhole(const std::string& path) {
  std::string out;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return out;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
  std::fclose(f);
  return out;
}

// Splits "a\0b\0rest" into its first `n` NUL-ended fields and the rest; fields
// missing from a short input stay empty.
template <size_t N>
inline std::string Fields(const uint8_t* data, size_t size, std::string (&fields)[N]) {
  size_t i = 0;
  for (size_t f = 0; f < N; ++f) {
    while (i < size && data[i] != 0) fields[f].push_back(static_cast<char>(data[i++]));
    if (i < size) ++i;
  }
  return std::string(reinterpret_cast<const char*>(data) + i, size - i);
}

}  // namespace corv::fuzz
