// Small pieces the in-process tests share: a temporary folder removed with all
// it holds, whole-file reading and writing, a run on a scripted console and
// virtual time, the status a run ended with, and a machine folder of its own.
#pragma once
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>

#include "platform/held.h"
#include "support/context.h"
#include "platform/environment.h"

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

// The same, holding a port (as the link registers one) and counting how often
// a way out gave it back.
struct ReleasingRun : FakeRun {
  explicit ReleasingRun(std::string keys = {}) : FakeRun(std::move(keys)) {
    port.Take(held::Kind::Port, [this] { ++releases; });
  }
  int releases = 0;
  held::Owner port;
};

// The status `fn` ended the run with, or `ifReturned` when it returned.
int StatusOf(auto&& fn, int ifReturned = -100) {
  try {
    fn();
  } catch (const RunExit& e) {
    return e.status;
  }
  return ifReturned;
}

// A machine folder of its own (the registry hive) and no lock folder for what
// runs in this process, while it lives.
struct MachineFolderScope {
  explicit MachineFolderScope(const std::string& prefix) : dir(prefix) {
    setenv("CORVANTAROOT", dir.path.c_str(), 1); ReadSystemEnvironment();
    unsetenv("CORVANTALOCKDIR");
  }
  ~MachineFolderScope() { unsetenv("CORVANTAROOT"); ReadSystemEnvironment(); }
  MachineFolderScope(const MachineFolderScope&) = delete;
  MachineFolderScope& operator=(const MachineFolderScope&) = delete;
  TempDir dir;
};

}  // namespace corv::testing
