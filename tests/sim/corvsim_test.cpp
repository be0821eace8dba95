// CorvSim over a pseudo-terminal: the program's termios backend opens the
// port it serves, a versions request is answered at the unit's rate and not
// at another, the port can be opened again, and the state file follows the
// signals.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/posix/port_posix.h"
#include "tests/common/scratch.h"
#include "tests/sim/bench.h"
#include "platform/environment.h"

extern char** environ;

namespace corv::sim::test {
namespace {

std::string BinDir() {
  if (const char* d = std::getenv("CORV_BIN_DIR"); d && *d) return d;
  char self[512];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string p(self, n > 0 ? static_cast<size_t>(n) : 0);
  return p.substr(0, p.rfind('/'));
}


class CorvSimProcess {
 public:
  CorvSimProcess() {
    char tmpl[] = "/tmp/corvsim-test-XXXXXX";
    root_ = mkdtemp(tmpl);
    setenv("CORVANTAROOT", root_.c_str(), 1); ReadSystemEnvironment();
    std::ofstream(root_ + "/unit.txt") << "# a Display at 57600 baud\nrate=57600\nversion=4.90\n";
  }
  ~CorvSimProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    std::string cmd = "rm -rf '" + root_ + "'";
    if (std::system(cmd.c_str()) != 0) ADD_FAILURE() << cmd;
  }
  // Starts CorvSim on COM5 and waits for its "ready" line.
  std::string Start() {
    int out[2];
    if (pipe(out) != 0) return "pipe";
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    const std::string exe = BinDir() + "/CorvSim", profile = root_ + "/unit.txt", state = StatePath();
    const char* argv[] = {exe.c_str(), "--profile", profile.c_str(), "--state", state.c_str(), "COM5", nullptr};
    const int rc = posix_spawn(&pid_, exe.c_str(), &fa, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    if (rc != 0) {
      close(out[0]);
      pid_ = -1;
      return "cannot start " + exe;
    }
    std::string line;
    pollfd p{out[0], POLLIN, 0};
    char c = 0;
    while (poll(&p, 1, 5000) > 0 && read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);
    return line;
  }
  // Only a CorvSim this started is signalled or waited for (pid -1 would mean
  // every process, and any child).
  int Stop(int sig) {
    if (pid_ <= 0) return -1;
    kill(pid_, sig);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  void Signal(int sig) {
    if (pid_ > 0) kill(pid_, sig);
  }
  std::string StatePath() const { return root_ + "/state.txt"; }
  std::string LinkPath() const { return root_ + "/com5"; }

 private:
  std::string root_;
  pid_t pid_ = -1;
};

// One versions request on COM5 at `baud`; the reply without its check.
std::vector<uint8_t> Versions(int32_t baud) {
  PosixPortDriver driver;
  LineSettings line;
  line.baud = baud;
  OpenResult r;
  auto port = driver.Open(5, line, 300, r);
  if (!port) return {0xEE, static_cast<uint8_t>(r.outcome)};
  const std::vector<uint8_t> q = WithCheck(Cmd(240, 0x1010));
  port->Transmit(q.data(), static_cast<uint16_t>(q.size()));
  std::vector<uint8_t> a(14);
  const int n = port->Receive(a.data(), 14);
  if (n != 14 || Crc16(a.data(), 14) != 0) return {};
  a.resize(12);
  return a;
}

TEST(CorvSim, AnswersThroughThePseudoTerminalAtItsRateOnly) {
  CorvSimProcess sim;
  ASSERT_EQ(sim.Start(), "ready COM5");
  struct stat st {};
  ASSERT_EQ(lstat(sim.LinkPath().c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));

  EXPECT_EQ(Versions(57600), (std::vector<uint8_t>{240, 0x45, 0x10, 0x10, 0x02, 0x87, 0, 5, 0x01, 0xEA, 0, 150}));
  EXPECT_TRUE(Versions(19200).empty()) << "refused at a wrong rate";
  EXPECT_TRUE(Versions(115200).empty());
  EXPECT_EQ(Versions(57600).size(), 12u) << "a later run opens the port again";

  sim.Signal(SIGUSR2);
  std::string state;
  for (int i = 0; i < 50 && state.find("mode=") == std::string::npos; ++i) {
    usleep(20000);
    state = testing::ReadFile(sim.StatePath());
  }
  EXPECT_NE(state.find("mode=software\n"), std::string::npos) << state;
  EXPECT_NE(state.find("version=490\n"), std::string::npos);
  EXPECT_NE(state.find("checksum=0x1A2B3C4D\n"), std::string::npos);
  EXPECT_NE(state.find("rate=57600\n"), std::string::npos);

  // A power cycle: the boot loader's window, then the software again.
  sim.Signal(SIGUSR1);
  // Asked until the software answers again, once the boot loader's window has passed.
  std::vector<uint8_t> again = Versions(57600);
  for (int i = 0; i < 20 && again.size() != 12u; ++i) again = Versions(57600);
  EXPECT_EQ(again.size(), 12u);

  EXPECT_EQ(sim.Stop(SIGTERM), 0);
  EXPECT_NE(lstat(sim.LinkPath().c_str(), &st), 0) << "link removed";
  EXPECT_NE(testing::ReadFile(sim.StatePath()).find("powerCycles=1\n"), std::string::npos);
}

}  // namespace
}  // namespace corv::sim::test
