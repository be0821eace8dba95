// Small pieces the in-process tests share: a temporary folder removed with all
// it holds, whole-file reading and writing, finding and counting a text in
// output, a run on a scripted console and virtual time, the status a run ended
// with, and a machine folder of its own.
// They build on Windows too (the few POSIX calls they need are given below).
#pragma once
#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>

#include "platform/held.h"
#include "support/context.h"
#include "platform/environment.h"
#include "platform/registry_store.h"

#ifdef _WIN32
// The POSIX calls the tests use that the C runtime lacks (it has getpid and
// mkstemp).
inline int setenv(const char* name, const char* value, int) { return _putenv_s(name, value); }
inline int unsetenv(const char* name) { return _putenv_s(name, ""); }
inline char* mkdtemp(char* tmpl) {
  static unsigned made = 0;
  std::string name(tmpl);
  const size_t x = name.size() - 6;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::string unique = std::to_string(1000000 + (getpid() * 100 + made++) % 1000000).substr(1);
    std::error_code ec;
    if (std::filesystem::create_directory(name.replace(x, 6, unique), ec)) {
      name.copy(tmpl, name.size());
      return tmpl;
    }
  }
  return nullptr;
}
#endif

namespace corv::testing {

// A folder /tmp/<prefix>-XXXXXX (on Windows in the user's temporary folder),
// removed with all it holds (even where a test took its permissions away or
// made a file read-only).
struct TempDir {
  explicit TempDir(const std::string& prefix = "corv-test") {
#ifdef _WIN32
    std::string tmpl = std::filesystem::temp_directory_path().string() + prefix + "-XXXXXX";
#else
    std::string tmpl = "/tmp/" + prefix + "-XXXXXX";
#endif
    path = mkdtemp(tmpl.data());
  }
  ~TempDir() {
    namespace fs = std::filesystem;
    std::error_code ec, each;
    fs::permissions(path, fs::perms::owner_all, ec);
    for (fs::recursive_directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
      if (!it->is_symlink(each)) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, each);
    }
    fs::remove_all(path, ec);
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

inline bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// How often `part` shows in `text`, each showing counted from where the last
// one ended (no text a test counts overlaps itself).
inline size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = 0; (at = text.find(part, at)) != std::string::npos; at += part.size()) ++n;
  return n;
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

// Windows has no machine folder: the registry is the machine's (Wine's), shared
// by every test program, so a test that expects none starts and ends with no
// saved port (and the build runs those programs one at a time).
inline void ForgetSavedPort() {
#ifdef _WIN32
  RegSetMachineString(kSavedPortPath, "");
#endif
}

// A machine folder of its own (the registry hive) for what runs in this
// process, while it lives; with `locks`, the lock folder "locks" in it, else none.
struct MachineFolderScope {
  explicit MachineFolderScope(const std::string& prefix, bool locks = false) : dir(prefix) {
    setenv("CORVANTAROOT", dir.path.c_str(), 1); ReadSystemEnvironment();
    unsetenv("CORVANTALOCKDIR");
    if (locks) {
      std::filesystem::create_directories(dir / "locks");
      setenv("CORVANTALOCKDIR", (dir / "locks").c_str(), 1);
    }
    ForgetSavedPort();
  }
  ~MachineFolderScope() {
    unsetenv("CORVANTAROOT"); ReadSystemEnvironment();
    unsetenv("CORVANTALOCKDIR");
    ForgetSavedPort();
  }
  MachineFolderScope(const MachineFolderScope&) = delete;
  MachineFolderScope& operator=(const MachineFolderScope&) = delete;
  std::filesystem::path Dir() const { return dir.path; }
  // The port a run saved there (as a successful update does).
  static void SavePort(int n) { RegSetMachineString(kSavedPortPath, std::to_string(n)); }
  TempDir dir;
};

}  // namespace corv::testing
