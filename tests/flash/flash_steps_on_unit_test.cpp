// The boot-loader and flash steps against the virtual unit, as the update uses
// them: reboot, flash target, programmer download, image writes, resets; what
// the unit holds afterwards, block by block and overlapped.
#include <gtest/gtest.h>

#include "flash/boot_commands.h"
#include "flash/flash_target.h"
#include "flash/flash_writer.h"
#include "flash/programmer_download.h"
#include "flash/reboot.h"
#include "sim/virtual_unit.h"
#include "platform/hive_file.h"
#include "tests/flash/flash_rig.h"

namespace corv::test {
namespace {

struct SimRig {
  Rig rig;
  sim::VirtualUnit unit;
  explicit SimRig(const sim::UnitProfile& p) : unit(rig.line, p) {
    rig.ctx.settings.yesToPrompts = true;
    rig.link.unitId = p.address;
    rig.Open(p.rate, p.evenParity, Link::longTimeoutMs);
    rig.info.cardFamily = p.card == 620 ? 2 : 1;
  }
  // Reboot, flash target and programmer: the unit's programmer is running.
  void ToProgrammer() {
    ASSERT_TRUE(RebootToBootLoader(rig.link, rig.info, false));
    ASSERT_TRUE(SelectFlashTarget(rig.link, rig.info));
    ASSERT_TRUE(DownloadProgrammer(rig.link, rig.info, *rig.info.flashProgrammer));
    ASSERT_EQ(unit.Model().Mode(), sim::UnitMode::Programmer);
  }
};

TEST(VirtualUnit, SoftwareWrittenBlockByBlockAndOverlapped) {
  for (bool overlapped : {false, true}) {
    SimRig s(sim::DefaultProfile());
    s.rig.ctx.settings.overlappedRequested = overlapped;
    s.rig.ctx.settings.programmingRate = 921600;
    s.rig.ctx.settings.verifyOn = true;
    s.ToProgrammer();
    EXPECT_EQ(s.rig.info.overlapped, overlapped);
    EXPECT_EQ(s.rig.link.hardwareHandshaking, overlapped);
    EXPECT_EQ(s.rig.ctx.settings.baudRate, 921600);
    ASSERT_TRUE(WriteImage(s.rig.link, s.rig.info, ImageName::DisplaySoftwareMcu3)) << s.rig.Out();
    EXPECT_EQ(RegGetMachineString(kSavedPortPath), "3");
    ASSERT_TRUE(ResetProgrammer(s.rig.link, s.rig.info));
    EXPECT_EQ(s.unit.Model().Checksum(), kDisplayMcu3Checksum);
    ASSERT_TRUE(ResetUnit(s.rig.link, s.rig.info));
    EXPECT_FALSE(s.rig.link.hardwareHandshaking);
    s.rig.clock.SleepMs(2000);
    EXPECT_EQ(s.unit.Model().Version(), kPayloadSoftwareVersion);
    EXPECT_EQ(s.unit.Model().Counters().flashBlocks, 1515u) << overlapped;  // nothing written twice
    EXPECT_EQ(s.rig.CountOf("!"), 1u);  // the notice's own
  }
}

TEST(VirtualUnit, BootLoaderImageOnMcuType2) {
  SimRig s(sim::DisplayMcu2Profile());
  s.rig.ctx.settings.programmingRate = 230400;  // stays at 115200 on MCU type 2
  s.ToProgrammer();
  EXPECT_EQ(s.rig.info.flashProgrammer, ImageName::ProgrammerB);
  EXPECT_EQ(s.rig.ctx.settings.baudRate, 115200);
  ASSERT_TRUE(WriteImage(s.rig.link, s.rig.info, *s.rig.info.bootLoaderImage));
  ASSERT_TRUE(ResetProgrammer(s.rig.link, s.rig.info));
  EXPECT_EQ(s.unit.Model().Release(), 5);
  EXPECT_EQ(s.unit.Model().Checksum(), 0x22334455u);  // the software is untouched
}

TEST(VirtualUnit, HardwareFailureInBothModes) {
  for (bool overlapped : {false, true}) {
    SimRig s(sim::DefaultProfile());
    s.rig.ctx.settings.overlappedRequested = overlapped;
    s.ToProgrammer();
    s.unit.Model().faults.flashBlockResult[10] = 0x3C;
    EXPECT_FALSE(WriteImage(s.rig.link, s.rig.info, ImageName::DisplaySoftwareMcu3));
    if (overlapped) {
      EXPECT_TRUE(s.rig.Has("\nUnit reported hardware failure, cannot write to flash memory. Address=$00004480, "
                            "Result=3C\n"))
          << s.rig.Out();
    } else {
      EXPECT_TRUE(s.rig.Has("Error:3C\n")) << s.rig.Out();
    }
    EXPECT_EQ(RegGetMachineString(kSavedPortPath), "");
  }
}

}  // namespace
}  // namespace corv::test
