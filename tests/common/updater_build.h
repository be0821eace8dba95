// Which CorvUpdater the end-to-end tests drive, and what differs between the
// builds for a test. Natively that is the program in CORV_BIN_DIR; with
// CORV_UPDATER_EXE set, that Windows build runs under Wine in WINEPREFIX (a
// prefix made by tests/wine/prepare.sh). The same test code drives either:
// - PlaceUpdater copies the program into a sandbox (its LogFiles go there);
// - ExecProgram runs a program, a Windows one (.exe) as `wine <exe> args...`
//   with the paths among its arguments written as Windows names them;
// - UpdaterMachine is "this PC" of one sandbox: natively its machine folder;
//   under Wine the prefix, taken by this sandbox alone, whose COM1 to COM32
//   follow the machine folder's com<N> entries and whose saved port starts
//   cleared; SavedPort reads the port the program saved.
#pragma once
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/common/scratch.h"

namespace corv::testing {

// The programs' folder: CORV_BIN_DIR, or else the test program's own (the
// build puts the programs beside it).
inline std::string BinDir() {
  if (const char* d = std::getenv("CORV_BIN_DIR"); d && *d) return d;
  std::error_code ec;
  return std::filesystem::read_symlink("/proc/self/exe", ec).parent_path().string();
}

// The Windows build to drive under Wine; empty for the native one.
inline std::string UpdaterExe() {
  const char* exe = std::getenv("CORV_UPDATER_EXE");
  return exe ? exe : "";
}

enum class Build {
  UnderTest,  // the Windows build when CORV_UPDATER_EXE is set, else the native one
  Native,     // the native program, whatever the switch says
};

inline bool IsWindows(Build build) { return build == Build::UnderTest && !UpdaterExe().empty(); }

inline bool IsWindowsProgram(const std::string& path) {
  return path.size() > 4 && path.compare(path.size() - 4, 4, ".exe") == 0;
}

// A copy of the chosen build in `dir` (CorvUpdater, or CorvUpdater.exe); its path.
inline std::string PlaceUpdater(const std::string& dir, Build build = Build::UnderTest) {
  namespace fs = std::filesystem;
  const bool windows = IsWindows(build);
  const std::string from = windows ? UpdaterExe() : BinDir() + "/CorvUpdater";
  const std::string to = dir + (windows ? "/CorvUpdater.exe" : "/CorvUpdater");
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
  fs::permissions(to, fs::perms::owner_all);
  return to;
}

// A host path as a Windows program under Wine names it (drive Z: is "/").
inline std::string WindowsPath(const std::string& hostPath) {
  std::string p = "Z:" + hostPath;
  for (char& c : p) {
    if (c == '/') c = '\\';
  }
  return p;
}

// A path the program named (on its console), as the host reaches it.
inline std::string HostPath(const std::string& programPath) {
  if (programPath.rfind("Z:\\", 0) != 0) return programPath;
  std::string p = programPath.substr(2);
  for (char& c : p) {
    if (c == '\\') c = '/';
  }
  return p;
}

namespace wine {

inline std::string Prefix() {
  const char* p = std::getenv("WINEPREFIX");
  const std::string prefix = p ? p : std::string(std::getenv("HOME") ? std::getenv("HOME") : "") + "/.wine";
  return std::filesystem::absolute(prefix).string();
}

// What a host-side argument means to the Windows program: an absolute path
// (a "/" and another "/" later, as the Linux build reads it) in Windows form.
inline std::string Argument(const std::string& arg) {
  return arg.size() > 1 && arg[0] == '/' && arg.find('/', 1) != std::string::npos ? WindowsPath(arg) : arg;
}

// Runs a Wine tool (`wine reg ...`, `wineserver ...`) to its end, its output
// through a file: the first Wine process after a server start leaves Wine's
// own service processes behind, holding whatever output it had, so a pipe
// would never end. The exit status; the output in `output`.
inline int RunTool(const std::vector<std::string>& argv, std::string* output = nullptr) {
  char path[] = "/tmp/corv-wine-tool-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return -1;
  const pid_t pid = fork();
  if (pid < 0) {
    close(fd);
    unlink(path);
    return -1;
  }
  if (pid == 0) {
    const int null = open("/dev/null", O_RDONLY);
    dup2(null, 0);
    dup2(fd, 1);
    dup2(fd, 2);
    close_range(3, ~0U, 0);  // a server this starts keeps what it inherits
    if (!std::getenv("WINEDEBUG")) setenv("WINEDEBUG", "-all", 1);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(fd);
  int st = 0;
  waitpid(pid, &st, 0);
  if (output) *output = ReadFile(path);
  unlink(path);
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

constexpr int kPorts = 32;  // the ports the program searches

// Wine's COM<n> is the unix path of HKLM\Software\Wine\Ports COM<n>, which
// Wine links into the prefix's dosdevices when its server starts. COM1 to
// COM32 point once and for all at <prefix>/corvanta/com<n>, and <prefix>/corvanta
// is a link to the machine folder of the sandbox that holds the prefix: so a
// run opens the pseudo-terminal CorvSim linked there, without a server restart.
// Every searched port has a value, so Wine gives the host's own serial devices
// numbers above COM32, where no search goes. A value whose path is not there
// still makes a device, one that opens and fails its first comm call (error 1):
// a port missing as Windows reports it (error 2) is one above COM32 with no
// host device behind it, such as COM40.
inline std::string PortsFolder() { return Prefix() + "/corvanta"; }

// Sets the port values when they are not there yet, then restarts the server
// (it takes them only at its start) and keeps it running; once a process.
inline void EnsurePorts() {
  static const bool done = [] {
    std::string out;
    const std::string last = PortsFolder() + "/com" + std::to_string(kPorts);
    RunTool({"wine", "reg", "query", "HKLM\\Software\\Wine\\Ports", "/v", "COM" + std::to_string(kPorts)}, &out);
    if (out.find(last) != std::string::npos) return true;
    const std::string file = Prefix() + "/corvanta-ports.reg";
    {
      std::ofstream reg(file, std::ios::binary);
      reg << "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n";
      for (int n = 1; n <= kPorts; ++n) reg << "\"COM" << n << "\"=\"" << PortsFolder() << "/com" << n << "\"\r\n";
    }
    RunTool({"wine", "reg", "import", file});
    std::filesystem::remove(file);
    RunTool({"wineserver", "-k"});
    RunTool({"wineserver", "-w"});
    RunTool({"wineserver", "-p"});
    return true;
  }();
  (void)done;
}

constexpr const char* kCorvantaKey = "HKLM\\SOFTWARE\\Wow6432Node\\Oxlerand\\Corvanta";  // the 32-bit view

}  // namespace wine

// Replaces this (forked) process with `program` and `args`. A Windows program
// runs as `wine <program> args...`, its absolute-path arguments in Windows form
// (a leading "/" would make an option of them there). Settings in the
// environment stay as they are: Windows takes "/tmp/x" as the folder \tmp\x
// of the current drive, and Wine runs the program on Z:, the host's "/".
[[noreturn]] inline void ExecProgram(const std::string& program, const std::vector<std::string>& args) {
  std::vector<std::string> argv;
  if (IsWindowsProgram(program)) {
    if (!std::getenv("WINEDEBUG")) setenv("WINEDEBUG", "-all", 1);  // nor the launcher's hints
    argv = {"wine", program};
    for (const auto& a : args) argv.push_back(wine::Argument(a));
    close_range(3, ~0U, 0);  // nor the other runs' pipes to Wine's service processes
  } else {
    argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
  }
  std::vector<char*> raw;
  for (auto& a : argv) raw.push_back(a.data());
  raw.push_back(nullptr);
  // The wine launcher execs the loader, which runs the program in this same
  // process: the pid the caller holds is the Windows program's.
  execvp(raw[0], raw.data());
  _exit(127);
}

// "This PC" for the runs of one sandbox, while it lives.
class UpdaterMachine {
 public:
  UpdaterMachine(const std::string& machineFolder, Build build) : folder_(machineFolder), wine_(IsWindows(build)) {
    if (!wine_) return;
    // One sandbox at a time per prefix, as the ports link and the saved port
    // are the prefix's: in this process, and (the lock) across test processes.
    if (Active()) throw std::logic_error("a second sandbox under Wine while one lives");
    lock_ = open((wine::Prefix() + "/corvanta-e2e.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock_ >= 0) flock(lock_, LOCK_EX);
    try {
      wine::EnsurePorts();
      const std::string link = wine::PortsFolder(), fresh = link + ".new";
      std::filesystem::remove(fresh);
      std::filesystem::create_directory_symlink(machineFolder, fresh);
      std::filesystem::rename(fresh, link);
    } catch (...) {
      close(lock_);
      throw;
    }
    Active() = true;
    // Also the first Wine process of the sandbox: Wine's services, should the
    // server have to start them, hold this tool's output and not a run's.
    wine::RunTool({"wine", "reg", "delete", wine::kCorvantaKey, "/f"});
  }
  ~UpdaterMachine() {
    if (!wine_) return;
    std::error_code ec;
    std::filesystem::remove(wine::PortsFolder(), ec);
    if (lock_ >= 0) close(lock_);
    Active() = false;
  }
  UpdaterMachine(const UpdaterMachine&) = delete;
  UpdaterMachine& operator=(const UpdaterMachine&) = delete;

  // The port the program saved ("1"), empty when none is saved.
  std::string SavedPort() const {
    std::string text;
    if (wine_) {
      wine::RunTool({"wine", "reg", "query", wine::kCorvantaKey, "/v", "CommPort"}, &text);
      const size_t type = text.find("REG_SZ");
      if (text.find("CommPort") == std::string::npos || type == std::string::npos) return "";
      const size_t from = text.find_first_not_of(' ', type + 6);
      return from == std::string::npos ? "" : text.substr(from, text.find_first_of("\r\n", from) - from);
    }
    text = ReadFile(folder_ + "/registry.reg");
    const std::string key = "\"CommPort\"=\"";
    const size_t at = text.find(key);
    if (at == std::string::npos) return "";
    return text.substr(at + key.size(), text.find('"', at + key.size()) - at - key.size());
  }

 private:
  static bool& Active() {
    static bool active = false;
    return active;
  }

  std::string folder_;
  bool wine_;
  int lock_ = -1;
};

}  // namespace corv::testing
