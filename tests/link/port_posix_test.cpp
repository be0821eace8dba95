// The termios backend on pseudo-terminals standing in for COM ports: naming,
// the failed-open outcomes, exclusivity, time-outs and line settings. Timing
// checks are real time and kept generous.
#include "platform/posix/machine_folder.h"
#include "platform/posix/port_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/posix/posix_tty.h"
#include "sim/pty_rate.h"
#include "platform/posix/held_record.h"
#include "platform/environment.h"
#include "tests/common/scratch.h"

namespace corv {
namespace {

using Ms = std::chrono::milliseconds;

// The port as the held record has it: what a signal would give back.
const held::posix::Entry* HeldPort() { return held::posix::FindHeld(held::Kind::Port); }
int HeldPortFd() { return HeldPort() ? HeldPort()->fd : -1; }
int HeldFlagsSaved() { return HeldPort() ? HeldPort()->flagsSaved : 0; }

class PosixPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    slave = ptsname(master);
    ASSERT_EQ(symlink(slave.c_str(), (root + "/com12").c_str()), 0);
    driver.SetErrorHook([this](std::string_view t) {
      if (t.front() != '<' && t.front() != '[') reports.emplace_back(t);
    });
  }
  void TearDown() override {
    close(master);
  }
  std::unique_ptr<SerialPort> Open(int16_t timeoutMs, int32_t baud = 115200) {
    OpenResult r;
    auto p = driver.Open(12, LineSettings{baud, 2, false, false, false}, timeoutMs, r);
    EXPECT_EQ(r.outcome, OpenOutcome::Opened) << r.errorText;
    return p;
  }
  std::string ReadMaster(size_t n) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + Ms(2000);
    while (got.size() < n && std::chrono::steady_clock::now() < end) {
      pollfd p{master, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char buf[256];
      const ssize_t r = read(master, buf, sizeof buf);
      if (r > 0) got.append(buf, static_cast<size_t>(r));
    }
    return got;
  }
  // The exclusive flag of the pty as a second opener sees it.
  int ExclusiveFlag() {
    const int fd = open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return -errno;
    int flag = -1;
    ioctl(fd, TIOCGEXCL, &flag);
    close(fd);
    return flag;
  }

  testing::MachineFolderScope machine{"corv-pty"};
  std::string root = machine.dir.path, slave;
  int master = -1;
  PosixPortDriver driver;
  std::vector<std::string> reports;
};

TEST_F(PosixPortTest, NamesAndFailedOpens) {
  EXPECT_EQ(MachineFolder(), root);
  EXPECT_EQ(PosixPortDriver::DevicePath(12), root + "/com12");
  EXPECT_EQ(PosixPortDriver::DevicePath(13), root + "/com13");  // no fallback with a root set
  EXPECT_EQ(PosixPortDriver::DevicePath(0), "");

  OpenResult r;
  EXPECT_FALSE(driver.Open(13, {}, 100, r));
  EXPECT_EQ(r.outcome, OpenOutcome::NotPresent);
  EXPECT_EQ(r.systemError, ENOENT);
  ASSERT_EQ(symlink("/nonexistent/tty", (root + "/com14").c_str()), 0);
  EXPECT_FALSE(driver.Open(14, {}, 100, r));
  EXPECT_EQ(r.outcome, OpenOutcome::NotPresent);
  EXPECT_TRUE(reports.empty());

  // Something that is no serial device: an error of its own, reported.
  const int f = open((root + "/com15").c_str(), O_CREAT | O_WRONLY, 0600);
  close(f);
  EXPECT_FALSE(driver.Open(15, {}, 100, r));
  EXPECT_EQ(r.outcome, OpenOutcome::OtherError);
  EXPECT_EQ(r.systemError, ENOTTY);
  EXPECT_EQ(reports.size(), 1u);
  EXPECT_EQ(r.errorText.rfind("Error: ", 0), 0u);

  // A rate of 0 is a refused setting, reported, and the device is left closed.
  reports.clear();
  EXPECT_FALSE(driver.Open(12, {0, 2, false, false, false}, 100, r));
  EXPECT_EQ(r.outcome, OpenOutcome::SettingRefused);
  EXPECT_EQ(r.systemError, EINVAL);
  EXPECT_EQ(reports.size(), 1u);
  EXPECT_EQ(ExclusiveFlag(), 0);
  EXPECT_TRUE(Open(100));

  unsetenv("CORVANTAROOT"); ReadSystemEnvironment();
  EXPECT_EQ(MachineFolder(), "/var/lib/corvanta");
  struct stat st {};
  const bool entry = lstat("/var/lib/corvanta/com3", &st) == 0;
  EXPECT_EQ(PosixPortDriver::DevicePath(3), entry ? "/var/lib/corvanta/com3" : "/dev/ttyS2");
  setenv("CORVANTAROOT", "", 1); ReadSystemEnvironment();  // empty counts as unset
  EXPECT_EQ(MachineFolder(), "/var/lib/corvanta");
}

TEST_F(PosixPortTest, HeldExclusivelyUntilClosed) {
  auto port = Open(100);
  ASSERT_TRUE(port);
  EXPECT_GE(HeldPortFd(), 0);
  EXPECT_EQ(ExclusiveFlag(), 1);
  OpenResult r;
  EXPECT_FALSE(driver.Open(12, {}, 100, r));  // the flock (root ignores TIOCEXCL)
  EXPECT_EQ(r.outcome, OpenOutcome::Busy);
  port.reset();
  EXPECT_EQ(HeldPortFd(), -1);
  EXPECT_EQ(ExclusiveFlag(), 0);  // cleared before the close: a later open works

  // Another process holding the flock: busy, and nothing reported.
  int ready[2], release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int fd = open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    const char ok = (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) ? 'y' : 'n';
    (void)!write(ready[1], &ok, 1);
    char c;
    (void)!read(release[0], &c, 1);
    _exit(0);
  }
  char ok = 0;
  ASSERT_EQ(read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, 'y');
  EXPECT_FALSE(driver.Open(12, {}, 100, r));
  EXPECT_EQ(r.outcome, OpenOutcome::Busy);
  EXPECT_TRUE(reports.empty());
  (void)!write(release[1], "x", 1);
  int status = 0;
  waitpid(child, &status, 0);
  for (int fd : {ready[0], ready[1], release[0], release[1]}) close(fd);
  EXPECT_TRUE(Open(100));
}

TEST_F(PosixPortTest, ReadsWritesAndTimeouts) {
  auto port = Open(100);
  ASSERT_TRUE(port);
  const uint8_t hello[] = {'h', 'e', 'l', 'l', 'o', 0x00, 0xFF, '\r', '\n'};
  EXPECT_EQ(port->Transmit(hello, sizeof hello), static_cast<int>(sizeof hello));
  EXPECT_EQ(ReadMaster(sizeof hello), std::string(reinterpret_cast<const char*>(hello), sizeof hello));

  ASSERT_EQ(write(master, "abc", 3), 3);
  uint8_t in[16];
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(port->Receive(in, 10), 3);  // short, once the time-out has passed
  auto waited = std::chrono::duration_cast<Ms>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_GE(waited, 90);
  EXPECT_LT(waited, 3000);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(in), 3), "abc");

  // A full count returns at once.
  ASSERT_EQ(write(master, "0123456789", 10), 10);
  EXPECT_EQ(port->Receive(in, 10), 10);
  port->Purge();

  // Time-out 0: what is buffered, without waiting.
  port.reset();
  port = Open(0);
  ASSERT_TRUE(port);
  EXPECT_EQ(port->Receive(in, 10), 0);
  ASSERT_EQ(write(master, "wxyz", 4), 4);
  // Until the pseudo-terminal has passed the four bytes on to the port's side.
  for (int i = 0, queued = 0; i < 2000 && (ioctl(HeldPortFd(), FIONREAD, &queued) != 0 || queued < 4); ++i) {
    usleep(1000);
  }
  EXPECT_EQ(port->Receive(in, 10), 4);
  EXPECT_TRUE(reports.empty());
}

TEST_F(PosixPortTest, AnyRateAndNoModemLines) {
  auto port = Open(100, 128000);
  ASSERT_TRUE(port);
  for (int32_t rate : {230400, 460800, 921600, 9600}) {
    EXPECT_GT(port->SetLine({rate, 2, false, false, false}), 0) << rate;
  }
  EXPECT_GT(port->SetLine({19200, 2, true, true, true}), 0);
  EXPECT_EQ(port->CtsOn(), 0);  // a pseudo-terminal has no CTS
  EXPECT_TRUE(reports.empty());

  EXPECT_EQ(port->SetLine({-5, 2, false, false, false}), -1);
  EXPECT_EQ(reports.size(), 1u);
  EXPECT_GT(port->SetLine({115200, 2, false, false, false}), 0);
  const uint8_t b = 0x5A;
  EXPECT_EQ(port->Transmit(&b, 1), 1);  // still open and usable
  EXPECT_EQ(ReadMaster(1), "Z");
}

TEST_F(PosixPortTest, LowLatencySkippedOnAPseudoTerminal) {
  // A pseudo-terminal has no serial settings: nothing asked, nothing said.
  const int fd = open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  volatile std::sig_atomic_t saved = 0, flags = 0;
  const posix_tty::LatencyRequest r = posix_tty::AskLowLatency(*posix_tty::DeviceSerialFlags(fd), {saved, flags});
  EXPECT_EQ(r.result, posix_tty::LatencyRequest::Result::NotSupported);
  EXPECT_EQ(saved, 0);
  EXPECT_EQ(posix_tty::UndoLowLatency(*posix_tty::DeviceSerialFlags(fd), r, {saved, flags}), 0);
  posix_tty::PutBackLowLatency(fd, 0);  // what the abort handler does: nothing here
  close(fd);
  auto port = Open(100, 921600);
  ASSERT_TRUE(port);
  EXPECT_EQ(HeldFlagsSaved(), 0);
  port.reset();
  EXPECT_TRUE(reports.empty());
  EXPECT_TRUE(Open(100));
}

// A driver's flags word with its answers set by the test.
class FakeSerialFlags : public posix_tty::SerialFlags {
 public:
  int Get(int& f) override {
    ++gets;
    if (getError) return getError;
    f = flags;
    return 0;
  }
  int Set(int f) override {
    sets.push_back(f);
    if (setError) return setError;
    flags = f;
    return 0;
  }
  int flags = 0;
  int getError = 0, setError = 0;
  int gets = 0;
  std::vector<int> sets;
};

TEST(PosixTtyTest, LowLatencyAskedAndRestored) {
  using Result = posix_tty::LatencyRequest::Result;
  const int low = posix_tty::kLowLatencyFlag;
  const int others = 0x10000040;  // flags the request must leave alone
  ASSERT_EQ(others & low, 0);

  // The flags as found are kept (for the abort handler) while the flag is on.
  volatile std::sig_atomic_t saved = 0, flags = 0;
  const posix_tty::KeptFlags kept{saved, flags};
  FakeSerialFlags adapter;
  adapter.flags = others;
  auto r = posix_tty::AskLowLatency(adapter, kept);
  EXPECT_EQ(r.result, Result::Set);
  EXPECT_EQ(adapter.sets, std::vector<int>{others | low});
  EXPECT_EQ(saved, 1);
  EXPECT_EQ(flags, others);
  adapter.flags |= 0x4;  // something else changed while the port was open
  EXPECT_EQ(posix_tty::UndoLowLatency(adapter, r, kept), 0);
  EXPECT_EQ(adapter.flags, others | 0x4);
  EXPECT_EQ(adapter.sets.size(), 2u);
  EXPECT_EQ(saved, 0);

  // Already on: left as it is, and left on at the close.
  FakeSerialFlags already;
  already.flags = others | low;
  r = posix_tty::AskLowLatency(already, kept);
  EXPECT_EQ(r.result, Result::AlreadyOn);
  EXPECT_EQ(saved, 0);
  EXPECT_EQ(posix_tty::UndoLowLatency(already, r, kept), 0);
  EXPECT_TRUE(already.sets.empty());
  EXPECT_EQ(already.flags, others | low);

  // No serial settings (a pseudo-terminal), or a driver without the change.
  for (int err : {ENOTTY, EINVAL}) {
    FakeSerialFlags pty;
    pty.getError = err;
    r = posix_tty::AskLowLatency(pty, kept);
    EXPECT_EQ(r.result, Result::NotSupported);
    EXPECT_TRUE(pty.sets.empty());
    EXPECT_EQ(posix_tty::UndoLowLatency(pty, r, kept), 0);
    EXPECT_EQ(pty.gets, 1);
    FakeSerialFlags noSet;
    noSet.setError = err;
    r = posix_tty::AskLowLatency(noSet, kept);
    EXPECT_EQ(r.result, Result::NotSupported);
    EXPECT_EQ(r.error, 0);
    EXPECT_EQ(saved, 0);
    EXPECT_EQ(posix_tty::UndoLowLatency(noSet, r, kept), 0);
    EXPECT_EQ(noSet.sets.size(), 1u);
  }

  // A refusal is kept with its reason, and there is nothing to undo.
  FakeSerialFlags strict;
  strict.setError = EPERM;
  r = posix_tty::AskLowLatency(strict, kept);
  EXPECT_EQ(r.result, Result::Refused);
  EXPECT_EQ(r.error, EPERM);
  EXPECT_EQ(saved, 0);
  EXPECT_EQ(posix_tty::UndoLowLatency(strict, r, kept), 0);
  EXPECT_EQ(strict.sets.size(), 1u);

  // An adapter unplugged while open: the undo fails without writing anything.
  FakeSerialFlags gone;
  r = posix_tty::AskLowLatency(gone, kept);
  EXPECT_EQ(saved, 1);
  gone.getError = EIO;
  EXPECT_EQ(posix_tty::UndoLowLatency(gone, r, kept), EIO);
  EXPECT_EQ(gone.sets.size(), 1u);
  EXPECT_EQ(saved, 0);
}

// A pseudo-terminal has no driver flags: an adapter that has them stands in.
class ForwardedFlags : public posix_tty::SerialFlags {
 public:
  explicit ForwardedFlags(FakeSerialFlags& to) : to_(to) {}
  int Get(int& f) override { return to_.Get(f); }
  int Set(int f) override { return to_.Set(f); }

 private:
  FakeSerialFlags& to_;
};

// While the port is open the held record holds the adapter's flags as found,
// also across changes of the line; the close puts the flag back and empties it.
// The line changes on the same descriptor, which stays exclusive and locked.
TEST_F(PosixPortTest, AdapterFlagsKeptWhileHeldAcrossLineChanges) {
  const int low = posix_tty::kLowLatencyFlag;
  FakeSerialFlags adapter;
  adapter.flags = 0x40;
  driver.SetSerialFlagsSource([&](int) { return std::make_unique<ForwardedFlags>(adapter); });
  auto port = Open(100, 9600);
  ASSERT_TRUE(port);
  const int fd = HeldPortFd();
  EXPECT_EQ(adapter.flags, 0x40 | low);
  EXPECT_EQ(HeldFlagsSaved(), 1);
  EXPECT_EQ(HeldPort()->flags, 0x40);

  OpenResult r;
  EXPECT_TRUE(port->Reconfigure({19200, 2, true, true, false}, 1000, r));
  EXPECT_EQ(r.outcome, OpenOutcome::Opened);
  EXPECT_EQ(sim::TerminalRate(master), 19200);  // the far end sees the new rate (a pty drops parity)
  EXPECT_EQ(HeldPortFd(), fd);
  EXPECT_EQ(ExclusiveFlag(), 1);
  EXPECT_FALSE(driver.Open(12, {}, 100, r));
  EXPECT_EQ(r.outcome, OpenOutcome::Busy);
  EXPECT_EQ(HeldFlagsSaved(), 1);
  EXPECT_EQ(adapter.flags, 0x40 | low);
  EXPECT_EQ(adapter.sets.size(), 1u);

  // A refused rate: told as an open would tell it; the port stays open and usable.
  reports.clear();
  EXPECT_FALSE(port->Reconfigure({-5, 2, false, false, false}, 100, r));
  EXPECT_EQ(r.outcome, OpenOutcome::SettingRefused);
  EXPECT_EQ(r.systemError, EINVAL);
  EXPECT_EQ(reports.size(), 1u);
  EXPECT_TRUE(port->Reconfigure({115200, 2, false, false, false}, 0, r));
  const uint8_t b = 0x5A;
  EXPECT_EQ(port->Transmit(&b, 1), 1);
  EXPECT_EQ(ReadMaster(1), "Z");
  uint8_t in[4];
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(port->Receive(in, 4), 0);  // time-out 0 now: no waiting
  EXPECT_LT(std::chrono::duration_cast<Ms>(std::chrono::steady_clock::now() - t0).count(), 50);

  port.reset();
  EXPECT_EQ(adapter.flags, 0x40);
  EXPECT_EQ(HeldFlagsSaved(), 0);
  EXPECT_EQ(HeldPortFd(), -1);
  EXPECT_EQ(ExclusiveFlag(), 0);
}

// A way out gives the port back from the held record while the port object
// still stands (the run ends after it): the object must not give it back again,
// or it would purge and close whatever the descriptor number means by then.
TEST_F(PosixPortTest, GivenBackByAWayOutOnlyOnce) {
  FakeSerialFlags adapter;
  adapter.flags = 0x40;
  driver.SetSerialFlagsSource([&](int) { return std::make_unique<ForwardedFlags>(adapter); });
  auto port = Open(100);
  ASSERT_TRUE(port);
  const int fd = HeldPortFd();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(adapter.flags, 0x40 | posix_tty::kLowLatencyFlag);
  held::ReleaseAll();
  EXPECT_EQ(HeldPortFd(), -1);
  EXPECT_EQ(ExclusiveFlag(), 0);
  EXPECT_TRUE(Open(100));  // the device is free again

  // The number comes back with the next open; the port object leaves it be.
  const int other = open("/dev/null", O_RDONLY);
  ASSERT_EQ(other, fd);
  const size_t sets = adapter.sets.size();
  port.reset();
  EXPECT_NE(fcntl(other, F_GETFD), -1);
  EXPECT_EQ(adapter.sets.size(), sets);
  close(other);
}

TEST(PosixTtyTest, RateReadBackMustMatch) {
  EXPECT_EQ(posix_tty::CheckRateReadBack(921600, 921600, 921600), 0);
  EXPECT_EQ(posix_tty::CheckRateReadBack(128000, 128000, 0), 0);  // input rate as output
  // The nearest rate an adapter makes, even within 3 %, is not the one asked for.
  EXPECT_EQ(posix_tty::CheckRateReadBack(921600, 923077, 923077), EINVAL);
  EXPECT_EQ(posix_tty::CheckRateReadBack(921600, 115200, 115200), EINVAL);  // a plain UART's ceiling
  EXPECT_EQ(posix_tty::CheckRateReadBack(230400, 230400, 9600), EINVAL);
  EXPECT_EQ(posix_tty::CheckRateReadBack(115200, 0, 0), EINVAL);
  EXPECT_EQ(posix_tty::CheckRateReadBack(0, 0, 0), EINVAL);
}

}  // namespace
}  // namespace corv
