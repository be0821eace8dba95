// The lock file is made only where there is none, and only the file this run
// made is removed: on every way out (the end, a fatal error, a signal through
// the held record, a port it did not get) it goes, and a file found there
// (another run's) is never touched, also while the run waits for the port;
// where the folder comes from and what a folder fault does.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/posix/held_record.h"
#include "tests/link/link_rig.h"

namespace corv {
namespace {

namespace fs = std::filesystem;
using test::Rig;

// What a signal would remove now: 1 while the held record has a lock file.
int LockHeld() { return held::posix::FindHeld(held::Kind::LockFile) ? 1 : 0; }

using testing::ReadFile;

using testing::Contains;

// COM3 on `rig`, and a lock folder of its own, named with `sep` after it; the folder.
fs::path WithLockFolder(Rig& rig, const std::string& sep = "") {
  rig.driver.AddLine(3);
  const fs::path dir = rig.machine.Dir() / "locks";
  fs::create_directories(dir);
  rig.ctx.settings.lockFolder = dir.string() + sep;
  return dir;
}

TEST(LinkLock, MadeForAnOpenPortAndRemovedOnEveryWayOut) {
  Rig rig;
  const fs::path dir = WithLockFolder(rig, "/");
  const fs::path lock3 = dir / "lockCorvantaCommPort3";
  Link& link = rig.MakeLink();

  rig.ctx.settings.portNumber = 3;
  ASSERT_TRUE(link.LockAndOpenPort(Link::shortTimeoutMs));
  EXPECT_TRUE(fs::exists(lock3));
  EXPECT_TRUE(Contains(rig.Out(), "Using CORVANTALOCKDIR=" + dir.string() + "/\n"));
  EXPECT_EQ(LockHeld(), 1);
  EXPECT_EQ(std::string(held::posix::FindHeld(held::Kind::LockFile)->path), lock3.string());
  link.ClosePortAndUnlock();
  EXPECT_FALSE(fs::exists(lock3));
  EXPECT_EQ(LockHeld(), 0);
  EXPECT_TRUE(link.lockPath.empty());

  // A fatal error goes through the release the link installed.
  ASSERT_TRUE(link.LockAndOpenPort(Link::shortTimeoutMs));
  EXPECT_THROW(Fatal(rig.ctx, "test"), RunExit);
  EXPECT_FALSE(fs::exists(lock3));
  EXPECT_FALSE(link.PortOpen());

  // A port that is not there leaves no file behind, nor does a refused rate.
  rig.ctx.settings.portNumber = 4;
  EXPECT_FALSE(link.LockAndOpenPort(Link::shortTimeoutMs));
  EXPECT_FALSE(fs::exists(dir / "lockCorvantaCommPort4"));
  rig.ctx.settings.portNumber = 3;
  rig.driver.Inner().RefuseRate(3, 19200);
  EXPECT_FALSE(link.LockAndOpenPort(Link::shortTimeoutMs));
  EXPECT_EQ(link.lastOpen.outcome, OpenOutcome::SettingRefused);
  EXPECT_FALSE(fs::exists(lock3));

  // Another program holds COM5 and its lock: the file stays and is forgotten.
  rig.driver.AddLine(5);
  rig.driver.Inner().SetBusy(5, true);
  std::ofstream(dir / "lockCorvantaCommPort5") << "theirs";
  rig.ctx.settings.portNumber = 5;
  EXPECT_FALSE(link.LockAndOpenPort(Link::shortTimeoutMs));
  EXPECT_TRUE(fs::exists(dir / "lockCorvantaCommPort5"));
  EXPECT_TRUE(link.lockPath.empty());
  EXPECT_EQ(LockHeld(), 0);
  link.ClosePortAndUnlock();
  EXPECT_TRUE(fs::exists(dir / "lockCorvantaCommPort5"));
}

TEST(LinkLock, FolderValueAndFolderFaults) {
  EXPECT_EQ(LockFilePath("C:\\locks\\", 3), "C:\\locks\\lockCorvantaCommPort3");
  EXPECT_EQ(LockFilePath("/run/lock", 12), "/run/lock/lockCorvantaCommPort12");

  Rig rig;
  rig.UseCom(3);
  Link& link = rig.MakeLink();
  // Without the variable: no file, no line about it.
  ASSERT_TRUE(link.LockAndOpenPort(Link::shortTimeoutMs));
  EXPECT_TRUE(link.lockPath.empty());
  EXPECT_FALSE(Contains(rig.Out(), "CORVANTALOCKDIR"));
  link.ClosePortAndUnlock();

  // A folder that does not exist: reported, and the port still opens.
  const std::string missing = (rig.machine.Dir() / "nowhere").string();
  rig.ctx.settings.lockFolder = missing;
  ASSERT_TRUE(link.LockAndOpenPort(Link::shortTimeoutMs));
  EXPECT_TRUE(Contains(rig.Out(), "Cannot create lock file " + missing + "/lockCorvantaCommPort3\nError: "));
  link.ClosePortAndUnlock();
  EXPECT_FALSE(Contains(rig.Out(), "Cannot delete lock file"));
}

TEST(LinkBusyLock, HoldersLockKeptWhileWaitingAndOursOnceOpen) {
  Rig rig;
  const fs::path dir = WithLockFolder(rig);
  const fs::path lock3 = dir / "lockCorvantaCommPort3";
  std::ofstream(lock3) << "holder";
  rig.driver.BusyUntil(3, 2000);
  rig.ctx.settings.portNumber = 3;
  Link& link = rig.MakeLink();

  // While waiting the abort handler has no lock file to remove; the holder
  // removes its own file as it lets go of the port.
  int lockSetWhileWaiting = -1;
  rig.console.At(1000, [&] { lockSetWhileWaiting = LockHeld(); });
  rig.console.At(1900, [&] { fs::remove(lock3); });
  ASSERT_TRUE(link.LockAndOpenPort(Link::shortTimeoutMs));
  EXPECT_EQ(lockSetWhileWaiting, 0);
  EXPECT_TRUE(fs::exists(lock3));
  EXPECT_EQ(link.lockPath, lock3.string());
  EXPECT_EQ(LockHeld(), 1);
  EXPECT_NE(rig.Out().find("....\nUsing CORVANTALOCKDIR="), std::string::npos) << rig.Out();
  link.ClosePortAndUnlock();
  EXPECT_FALSE(fs::exists(lock3));

  // Held for good: the holder's file stays when this run gives up.
  std::ofstream(lock3) << "holder";
  rig.driver.BusyUntil(3, 1000000);
  EXPECT_FALSE(link.LockAndOpenPort(Link::shortTimeoutMs));
  EXPECT_TRUE(fs::exists(lock3));
  EXPECT_TRUE(link.lockPath.empty());
  EXPECT_EQ(LockHeld(), 0);
  link.ClosePortAndUnlock();
  EXPECT_TRUE(fs::exists(lock3));
  unsetenv("CORVANTALOCKDIR");
}

// Each way out, with the file made by this run or found there before it.
TEST(LinkBusyLock, OnlyTheFileThisRunMadeIsRemoved) {
  enum class Out { Close, Fatal, GaveUp, Escape };
  struct Case {
    const char* name;
    bool found;       // a file was there before the run (another run's)
    uint32_t busyMs;  // the port is held by another program until then
    Out out;
  };
  const Case cases[] = {
      {"made, closed at the end", false, 0, Out::Close},
      {"made, fatal error", false, 0, Out::Fatal},
      {"made, busy past the wait", false, 1000000, Out::GaveUp},
      {"made, Escape while waiting", false, 1000000, Out::Escape},
      {"made, waited then opened", false, 500, Out::Close},
      {"found, port free, closed at the end", true, 0, Out::Close},
      {"found, port free, fatal error", true, 0, Out::Fatal},
      {"found, busy past the wait", true, 1000000, Out::GaveUp},
      {"found, Escape while waiting", true, 1000000, Out::Escape},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    const fs::path dir = WithLockFolder(rig);
    const fs::path lock3 = dir / "lockCorvantaCommPort3";
    if (c.found) std::ofstream(lock3) << "theirs";
    if (c.busyMs) rig.driver.BusyUntil(3, c.busyMs);
    rig.ctx.settings.portNumber = 3;
    Link& link = rig.MakeLink();
    // What a signal would remove, while waiting and once open.
    int lockSetWhileWaiting = -1;
    if (c.busyMs) rig.console.At(300, [&] { lockSetWhileWaiting = LockHeld(); });
    if (c.out == Out::Escape) rig.console.At(700, [&] { rig.console.Press(27); });

    if (c.out == Out::Escape) {
      EXPECT_THROW(link.LockAndOpenPort(Link::shortTimeoutMs), RunExit);
    } else if (c.out == Out::GaveUp) {
      EXPECT_FALSE(link.LockAndOpenPort(Link::shortTimeoutMs));
    } else {
      ASSERT_TRUE(link.LockAndOpenPort(Link::shortTimeoutMs));
      EXPECT_TRUE(fs::exists(lock3));
      EXPECT_EQ(LockHeld(), c.found ? 0 : 1);
      if (c.out == Out::Fatal) {
        EXPECT_THROW(Fatal(rig.ctx, "test"), RunExit);
      } else {
        link.ClosePortAndUnlock();
      }
    }
    if (c.busyMs) {
      EXPECT_EQ(lockSetWhileWaiting, c.found ? 0 : 1);
    }
    EXPECT_EQ(LockHeld(), 0);
    EXPECT_TRUE(link.lockPath.empty());
    EXPECT_EQ(fs::exists(lock3), c.found);
    if (c.found) {
      EXPECT_EQ(ReadFile(lock3), "theirs");
    }
    EXPECT_EQ(rig.Out().find("Cannot delete lock file"), std::string::npos) << rig.Out();
    unsetenv("CORVANTALOCKDIR");
  }
}

// A file that is there already is said on the detail stream, and the run goes on.
TEST(LinkBusyLock, FoundFileIsReported) {
  Rig rig;
  const fs::path dir = WithLockFolder(rig);
  const fs::path lock3 = dir / "lockCorvantaCommPort3";
  std::ofstream(lock3) << "theirs";
  rig.ctx.settings.portNumber = 3;
  Link& link = rig.MakeLink();
  ASSERT_TRUE(link.LockAndOpenPort(Link::shortTimeoutMs));
  EXPECT_EQ(rig.Out(), "Cannot create lock file " + lock3.string() + "\nError: File exists\nUsing CORVANTALOCKDIR=" +
                           dir.string() + "\n");
  link.ClosePortAndUnlock();
  EXPECT_EQ(ReadFile(lock3), "theirs");
  unsetenv("CORVANTALOCKDIR");
}

}  // namespace
}  // namespace corv
