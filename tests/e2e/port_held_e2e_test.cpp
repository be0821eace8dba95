// The port stays the run's from its first open to its last close: rival
// programs that try to open and lock it during a whole update at a raised
// programming rate never get it, and the update goes through. And a
// lock file that another run left is neither replaced nor removed. Real time.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "update_e2e_rig.h"

namespace corv::e2e {
namespace {

// What a rival saw.
struct RivalReport {
  long attempts = 0;   // tries while the run held the port
  long midRun = 0;     // times it got the port while the run's lock file was there
  long afterward = 0;  // times it got the port once the run had let it go
};

// A second program in a child process. It starts once the run holds the port
// (its lock file there, the device locked). The poller then tries to open and
// lock the device every 2 ms; the waiter, which opened the device before the
// run did, waits in a blocking lock and so is first in line at any moment the
// port is let go. A port it gets it keeps for a second, as a program that uses
// it would; the run's lock file, removed before the run lets go of the port,
// tells whether that was in the middle of the run.
class Rival {
 public:
  enum class Kind { Poller, Waiter };
  Rival(Kind kind, const std::string& device, const std::string& lockFile) {
    const int early = kind == Kind::Waiter ? open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK) : -1;
    if (pipe(report_) != 0) return;
    pid_ = testing::ForkChild();
    if (pid_ == 0) {
      close(report_[0]);
      if (kind == Kind::Waiter) Wait(early, lockFile);
      Poll(device, lockFile);
    }
    close(report_[1]);
    if (early >= 0) close(early);
  }
  ~Rival() {
    if (pid_ > 0) Stop();
  }

  RivalReport Stop() {
    testing::SignalChild(pid_, SIGKILL);
    WaitFor(pid_, 10);
    pid_ = -1;
    RivalReport r;
    char buf[4096];
    for (ssize_t n; (n = read(report_[0], buf, sizeof buf)) > 0;) {
      for (ssize_t i = 0; i < n; ++i) {
        if (buf[i] == 't') r.attempts += 100;
        if (buf[i] == 'M') ++r.midRun;
        if (buf[i] == 'A') ++r.afterward;
      }
    }
    close(report_[0]);
    return r;
  }

 private:
  // Only system calls from here on: this is a forked copy of the test.
  [[noreturn]] void Poll(const std::string& device, const std::string& lockFile) {
    bool started = false;
    for (long tries = 0;;) {
      const bool runsLock = access(lockFile.c_str(), F_OK) == 0;
      const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
      const bool got = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
      if (!started) {
        started = runsLock && !got;  // the run holds it now
      } else {
        if (++tries % 100 == 0) Say('t');
        if (got) Got(runsLock);
      }
      if (fd >= 0) close(fd);
      Sleep(started ? 2000000 : 1000000);
    }
  }
  [[noreturn]] void Wait(int fd, const std::string& lockFile) {
    if (fd < 0) _exit(1);
    for (;;) {  // until the run holds it
      const bool runsLock = access(lockFile.c_str(), F_OK) == 0;
      if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (runsLock) break;
      } else {
        flock(fd, LOCK_UN);
      }
      Sleep(1000000);
    }
    for (;;) {
      Say('t');
      if (flock(fd, LOCK_EX) != 0) continue;
      Got(access(lockFile.c_str(), F_OK) == 0);
      flock(fd, LOCK_UN);
    }
  }
  void Got(bool runsLock) {
    Say(runsLock ? 'M' : 'A');
    Sleep(1000000000);
  }
  void Say(char c) {
    if (write(report_[1], &c, 1) != 1) _exit(1);
  }
  static void Sleep(long ns) {
    timespec t{ns / 1000000000, ns % 1000000000};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
  }

  pid_t pid_ = -1;
  int report_[2] = {-1, -1};
};

TEST(PortHeldE2E, NoOtherProgramGetsThePortDuringAWholeUpdate) {
  Sandbox box("");
  const std::string device = box.Dir() + "/machine/com1";
  const std::string lockFile = box.Dir() + "/locks/lockCorvantaCommPort1";
  Rival poller(Rival::Kind::Poller, device, lockFile);
  Rival waiter(Rival::Kind::Waiter, device, lockFile);
  // -r 460800: the rate step-up and its returns to the start rate reopen too.
  RunResult r = box.Run({"-y", "-d", "-r", "460800"});
  const RivalReport polled = poller.Stop();
  const RivalReport waited = waiter.Stop();

  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(r.Has("Success: all operations are complete\n")) << r.out;
  EXPECT_FALSE(r.Has("Error re-opening port")) << r.out;
  EXPECT_EQ(polled.midRun, 0);
  EXPECT_EQ(waited.midRun, 0);
  EXPECT_GE(polled.attempts, 1000);  // it really tried, all through the run
  EXPECT_GE(waited.attempts, 1);
  // The run reopened at other rates many times meanwhile.
  EXPECT_GT(r.Count("baud rate = "), 10u) << r.out;
  EXPECT_TRUE(r.Has("baud rate = 460800 (no parity)")) << r.out;
  EXPECT_FALSE(box.LockLeft());
  auto s = box.State();
  EXPECT_EQ(s["mode"], "software");
  EXPECT_EQ(s["version"], "510");
}

// A lock file that was there before the run (another run's, or one left by a
// run that was killed) is not the run's own: it stays as it was.
TEST(PortHeldE2E, FoundLockFileLeftAsItWas) {
  Sandbox box(CurrentDisplayProfile());
  const std::string lockFile = box.Dir() + "/locks/lockCorvantaCommPort1";
  { std::ofstream(lockFile) << "another run"; }
  RunResult r = box.Run({"-y", "-i"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(r.Has("Using CORVANTALOCKDIR=")) << r.out;
  EXPECT_EQ(ReadFile(lockFile), "another run");
}

}  // namespace
}  // namespace corv::e2e
