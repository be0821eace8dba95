// Small pieces the in-process tests share: a temporary folder removed with all
// it holds, whole-file reading and writing, a run on a scripted console and
// virtual time, and the status a run ended with.
#pragma once
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>

#include "support/context.h"

namespace corv::testing {

// A folder /tmp/<prefix>-XXXXXX, removed with all it holds (even where a test
// took its permissions away).
struct TempDir {
  explicit TempDir(const std::string& prefix = "corv-test") {
    std::string tmpl = "/tmp/" + prefix + "-XXXXXX";
    path = mkdtemp(tmpl.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(path, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string operator/(const std::string& name) const { return path + "/" + name; }
  std::string path;
};

// The whole file; empty when it cannot be read.
inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// A run's context on a console that types `keys` and on virtual time.
struct FakeRun {
  explicit FakeRun(std::string keys = {}) : console(std::move(keys)) {}
  ScriptedConsole console;
  VirtualClock clock;
  Context ctx{console, clock};
};

// The same, counting how often the run gave back its port, log and terminal.
struct ReleasingRun : FakeRun {
  explicit ReleasingRun(std::string keys = {}) : FakeRun(std::move(keys)) {
    ctx.releaseOnExit = [this] { ++releases; };
  }
  int releases = 0;
};

// The status `fn` ended the run with, or -100 when it returned.
int StatusOf(auto&& fn) {
  try {
    fn();
  } catch (const RunExit& e) {
    return e.status;
  }
  return -100;
}

}  // namespace corv::testing
