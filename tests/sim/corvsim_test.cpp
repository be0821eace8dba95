// CorvSim over a pseudo-terminal: the program's termios backend opens the
// port it serves, a versions request is answered at the unit's rate and not
// at another, the port can be opened again, and the state file follows the
// signals.
#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/posix/port_posix.h"
#include "tests/common/processes.h"
#include "tests/common/scratch.h"
#include "tests/sim/bench.h"

namespace corv::sim::test {
namespace {

// CorvSim serving COM5 in a machine folder of its own.
class CorvSimProcess {
 public:
  explicit CorvSimProcess(const char* profile = "# a Display at 57600 baud\nrate=57600\nversion=4.90\n") {
    testing::WriteFile(root_.dir / "unit.txt", profile);
  }
  ~CorvSimProcess() { Stop(SIGKILL); }
  // Starts CorvSim on COM5; its first line, once it said "ready COM5" or 5 s passed.
  std::string Start() {
    std::string said;
    sim_ = testing::StartSim({"--profile", root_.dir / "unit.txt", "--state", StatePath(), "COM5"},
                             {.input = testing::Input::DevNull}, said, 5);
    return said.substr(0, said.find('\n'));
  }
  // Its exit status (-1: it was not running).
  int Stop(int sig) { return testing::StopSim(sim_, sig); }
  void Signal(int sig) { testing::SignalChild(sim_.pid, sig); }
  // Has it write the unit's state now; false when it did not say it did.
  bool Snapshot() { return testing::SnapshotSim(sim_, 5); }
  std::string StatePath() const { return root_.dir / "state.txt"; }
  std::string LinkPath() const { return root_.dir / "com5"; }

 private:
  testing::MachineFolderScope root_{"corvsim-test"};  // its own machine folder
  testing::Child sim_;
};

// One versions request on COM5 at `baud`; the reply without its check.
std::vector<uint8_t> Versions(int32_t baud) {
  PosixPortDriver driver;
  LineSettings line;
  line.baud = baud;
  OpenResult r;
  auto port = driver.Open(5, line, 300, r);
  if (!port) return {0xEE, static_cast<uint8_t>(r.outcome)};
  return testing::Ask(*port, Cmd(240, 0x1010), 12);
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

  ASSERT_TRUE(sim.Snapshot());
  const std::string state = testing::ReadFile(sim.StatePath());
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

// A reply reaches the program no earlier than its last byte would leave the
// unit on a wire: a program that answers a set-baud-rate reply at once, at the
// new rate, is heard.
TEST(CorvSim, RateSetInAReplyHoldsOnceTheReplyIsRead) {
  CorvSimProcess sim("version=0\n");
  ASSERT_EQ(sim.Start(), "ready COM5");
  PosixPortDriver driver;
  LineSettings line;
  line.baud = 9600;
  OpenResult r;
  auto port = driver.Open(5, line, 300, r);
  ASSERT_TRUE(port);
  std::vector<uint8_t> setRate = Cmd(1, 0x1090);
  Put8(setRate, 5);  // 115200
  ASSERT_EQ(testing::Ask(*port, setRate, 4), (std::vector<uint8_t>{1, 0x45, 0x10, 0x90}));
  line.baud = 115200;
  ASSERT_EQ(port->SetLine(line), 1);
  EXPECT_EQ(testing::Ask(*port, Cmd(1, 0x1012), 5).size(), 5u);
}

}  // namespace
}  // namespace corv::sim::test
