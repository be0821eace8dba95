// The interrogation run of the built CorvUpdater against CorvSim on a
// pseudo-terminal: what it prints, its exit status and its log.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// The programs are built beside the test program unless CORV_BIN_DIR says.
std::string BinDir() {
  if (const char* d = std::getenv("CORV_BIN_DIR")) return d;
  std::error_code ec;
  return fs::read_symlink("/proc/self/exe", ec).parent_path().string();
}

struct Child {
  pid_t pid = -1;
  int out = -1;
};

// Starts a program with stdin closed and stdout and stderr on a pipe, in a
// machine folder of its own.
Child Start(const std::string& program, const std::vector<std::string>& args, const std::string& root) {
  int fromChild[2];
  if (pipe(fromChild) != 0) return {};
  Child c;
  c.pid = fork();
  if (c.pid == 0) {
    dup2(fromChild[1], 1);
    dup2(fromChild[1], 2);
    close(fromChild[0]);
    close(0);
    unsetenv("CORVANTAPORT");
    unsetenv("CORVANTALOCKDIR");
    setenv("CORVANTAROOT", root.c_str(), 1);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(fromChild[1]);
  c.out = fromChild[0];
  return c;
}

// Reads until `until` shows up, the output ends or 60 s pass.
void ReadUntil(int fd, std::string& got, const std::string& until) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (until.empty() || got.find(until) == std::string::npos) {
    pollfd p{fd, POLLIN, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) != 1) break;
    char buf[4096];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
}

int Wait(Child& c) {
  int status = 0;
  waitpid(c.pid, &status, 0);
  close(c.out);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

TEST(InterrogationRun, AgainstCorvSimOverAPseudoTerminal) {
  char tmpl[] = "/tmp/corv-flash-e2e-XXXXXX";
  const std::string root = mkdtemp(tmpl);
  Child sim = Start(BinDir() + "/CorvSim", {"--state", root + "/state.txt", "COM1"}, root);
  std::string simOut;
  ReadUntil(sim.out, simOut, "ready COM1");
  ASSERT_NE(simOut.find("ready COM1"), std::string::npos) << simOut;

  Child run = Start(BinDir() + "/CorvUpdater", {"-i", "-y", "COM1"}, root);
  std::string out;
  ReadUntil(run.out, out, "");
  const int status = Wait(run);
  kill(sim.pid, SIGTERM);
  Wait(sim);

  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("Corvanta Info:\n  Card:         647\n  Circuit code: 5\n  Software:     v4.90\n"
                     "  Product:      CV150\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("  Masks:        ft$1234  rt$0F0F  new$0001\nUnit details:\n  Serial No:    12345\n"
                     "  Build time:   2019-03-14 10:30:00\n  Information:  Virtual belt weigher\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("-- interrogating unit\n"), std::string::npos);
  EXPECT_NE(out.find("  Boot loader:  v3 r9\n  MCU Type:     3\n  Checksum:     1A2B3C4D\n"), std::string::npos)
      << out;
  EXPECT_EQ(out.find("Fatal"), std::string::npos);

  const size_t at = out.find("LogFile = ");
  ASSERT_NE(at, std::string::npos);
  const std::string logPath = out.substr(at + 10, out.find('\n', at) - at - 10);
  const std::string log = ReadFile(logPath);
  EXPECT_NE(log.find("Rebooting unit\r\n"), std::string::npos);
  EXPECT_NE(log.find("OK - rebooted to boot loader\r\n"), std::string::npos);
  EXPECT_NE(log.find("OK - reset command sent\r\n"), std::string::npos) << log;
  std::error_code ec;
  fs::remove(logPath, ec);
  fs::remove_all(root, ec);
}

}  // namespace
