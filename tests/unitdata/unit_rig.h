// The bench the unit-data tests run on: a virtual unit on COM1 of a virtual
// port driver, on virtual time, a link talking to it, and the steps that bring
// the unit from its software to a running flash programmer the way an update
// run does (reboot into the boot loader, flash target, programmer download).
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "flash/flash_target.h"
#include "flash/programmer_download.h"
#include "flash/reboot.h"
#include "flash/unit_info.h"
#include "link/link.h"
#include "sim/virtual_line.h"
#include "sim/unit_profile.h"
#include "sim/virtual_unit.h"
#include "platform/console.h"
#include "support/context.h"
#include "tests/common/scratch.h"

namespace corv::test {

using testing::Count;

struct UnitRig : testing::FakeRun {
  explicit UnitRig(const sim::UnitProfile& profile, bool overlapped = false)
      : driver(clock), line(driver.AddLine(1)), unit(line, profile) {
    ctx.settings.portNumber = 1;
    ctx.settings.baudRate = profile.rate;
    ctx.settings.paritySetting = profile.evenParity ? 1 : 0;
    ctx.settings.debugOn = true;
    ctx.settings.yesToPrompts = true;
    ctx.settings.traceEnabled = true;
    ctx.settings.overlappedRequested = overlapped;
    link = std::make_unique<Link>(ctx, driver);
  }

  // The unit runs its software and the link is connected to it.
  void Connect() {
    ASSERT_TRUE(link->LockAndOpenPort(Link::longTimeoutMs));
    link->RememberLineSettings();
    link->unitId = unit.Model().Profile().address;
    link->softwareMode = modeCorvantaSoftware;
    link->connected = true;
  }

  // Connect, reboot into the boot loader, select the flash target and start
  // the flash programmer.
  void StartProgrammer() {
    Connect();
    ASSERT_TRUE(RebootToBootLoader(*link, info, false));
    SelectFlashTarget(*link, info);
    ASSERT_TRUE(info.flashProgrammer.has_value());
    ASSERT_TRUE(DownloadProgrammer(*link, info, *info.flashProgrammer));
    ASSERT_EQ(link->softwareMode, modeFlashProgrammer);
    console.ClearOutput();
  }

  const std::string& Out() const { return console.Output(); }
  bool Shows(const std::string& text) const { return Out().find(text) != std::string::npos; }

  // Runs `f`; the exit status of a run it ended, or -1 when it returned.
  template <class F>
  int ExitStatusOf(F f) {
    return testing::StatusOf(f, -1);
  }

  testing::MachineFolderScope machine{"corv-unitdata"};  // the registry the port is saved in, no lock folder
  VirtualPortDriver driver;
  VirtualLine& line;
  sim::VirtualUnit unit;
  std::unique_ptr<Link> link;
  UnitInfo info;
};

}  // namespace corv::test
