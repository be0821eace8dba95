// The lock file while a run waits for a port another run holds: the file is the
// holder's then, so a signal taken while waiting must not remove it; once the
// holder has let go (and removed it), the run that gets the port marks it anew.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/abort_record.h"
#include "tests/link/link_rig.h"

namespace corv {
namespace {

namespace fs = std::filesystem;
using test::Rig;

TEST(LinkBusyLock, HoldersLockKeptWhileWaitingAndOursOnceOpen) {
  Rig rig;
  rig.driver.AddLine(3);
  const fs::path dir = rig.machine.Dir() / "locks";
  fs::create_directories(dir);
  setenv("CORVANTALOCKDIR", dir.c_str(), 1);
  const fs::path lock3 = dir / "lockCorvantaCommPort3";
  std::ofstream(lock3) << "holder";
  rig.driver.BusyUntil(3, 2000);
  rig.ctx.settings.portNumber = 3;
  Link& link = rig.MakeLink();

  // While waiting the abort handler has no lock file to remove; the holder
  // removes its own file as it lets go of the port.
  int lockSetWhileWaiting = -1;
  rig.console.At(1000, [&] { lockSetWhileWaiting = TheAbortRecord().lockSet; });
  rig.console.At(1900, [&] { fs::remove(lock3); });
  ASSERT_TRUE(link.LockAndOpenPort(Link::shortTimeoutMs));
  EXPECT_EQ(lockSetWhileWaiting, 0);
  EXPECT_TRUE(fs::exists(lock3));
  EXPECT_EQ(link.lockPath, lock3.string());
  EXPECT_EQ(TheAbortRecord().lockSet, 1);
  EXPECT_NE(rig.Out().find("....\nUsing CORVANTALOCKDIR="), std::string::npos) << rig.Out();
  link.ClosePortAndUnlock();
  EXPECT_FALSE(fs::exists(lock3));

  // Held for good: the holder's file stays when this run gives up.
  std::ofstream(lock3) << "holder";
  rig.driver.BusyUntil(3, 1000000);
  EXPECT_FALSE(link.LockAndOpenPort(Link::shortTimeoutMs));
  EXPECT_TRUE(fs::exists(lock3));
  EXPECT_TRUE(link.lockPath.empty());
  EXPECT_EQ(TheAbortRecord().lockSet, 0);
  link.ClosePortAndUnlock();
  EXPECT_TRUE(fs::exists(lock3));
  unsetenv("CORVANTALOCKDIR");
}

}  // namespace
}  // namespace corv
