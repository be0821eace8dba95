// Transmitters on virtual time: the strings file and the EEPROM that chooses
// their software, the P-Module notices, the FCHIP refusal, an MCU type the
// program carries no software for, and the pre-production board of an update run.
#include "run/update_questions.h"
#include "support/ini.h"
#include "update_rig.h"

namespace corv {
namespace {

using testing::UpdateBench;

TEST(UpdateTransmitter, EepromChoosesSoftwareAndOldFieldsSurvive) {
  struct Case {
    uint8_t eeprom;
    uint32_t checksum;
    bool stringsWritten;
  };
  for (const Case c : {Case{1, kTransmitter128kChecksum, true}, Case{0, kTransmitterSmallChecksum, false},
                       Case{2, kTransmitterSmallChecksum, false}}) {
    SCOPED_TRACE(c.eeprom);
    UpdateBench b(sim::TransmitterMcu2Profile(c.eeprom));
    const std::vector<uint8_t> strings = b.Model().StringsArea();
    EXPECT_EQ(b.Run({"-y", "-d", "COM3"}), 0) << b.Out();
    EXPECT_TRUE(b.Has("This Corvanta unit contains a YELLOW PMODULE\n")) << b.Out();  // circuit code 6
    EXPECT_TRUE(b.Has("  Selected unit is a Transmitter\n"));
    EXPECT_TRUE(b.Has("Success: all operations are complete\n"));
    EXPECT_EQ(b.Model().Version(), kPayloadSoftwareVersion);
    EXPECT_EQ(b.Model().Checksum(), c.checksum);
    // The old fields were read before the rewrite and written back after its first page.
    EXPECT_EQ(b.Model().Serial(), 12345u);
    EXPECT_EQ(b.Model().Counters().commands.count(0x1050), 1u);
    const ByteBlock file = StringsFile();
    if (c.stringsWritten) {
      ASSERT_GE(b.Model().StringsArea().size(), file.length);
      EXPECT_TRUE(std::equal(file.data, file.data + file.length, b.Model().StringsArea().begin()));
    } else {
      EXPECT_EQ(b.Model().StringsArea(), strings);
    }
    // Two reboots into the boot loader: before the strings and after them.
    EXPECT_EQ(b.Count("OK - rebooted to boot loader\n"), 2u);
    EXPECT_FALSE(b.LockLeft());
  }

  // At 5.10 with the small software although the 128K EEPROM works: the
  // checksum differs from the software the unit should have.
  sim::UnitProfile p = sim::TransmitterMcu2Profile(1);
  p.version = 510;
  p.checksum = kTransmitterSmallChecksum;
  UpdateBench b(p);
  EXPECT_EQ(b.Run({"-y", "-d", "COM3"}), 0);
  EXPECT_TRUE(b.Has("Updating corvanta software because the checksum is different than the current version\n"));
  EXPECT_EQ(b.Model().Checksum(), kTransmitter128kChecksum);
}

TEST(UpdateTransmitter, RefusalsEndTheRunWithTheirMessage) {
  {  // An FCHIP: nothing is touched, the message goes to the parameter file.
    SCOPED_TRACE("An FCHIP: nothing is touched, the message goes to the parameter file");
    sim::UnitProfile p = sim::TransmitterMcu2Profile(1);
    p.pmoduleType = 1;
    UpdateBench b(p);
    const std::string job = b.Job("Program=TRUE\r\n");
    EXPECT_EQ(b.Run({"-y", job, "COM3"}), 2);
    const std::string message =
        "This Corvanta unit cannot be upgraded as it contains an FCHIP, please contact your supplier for updating to "
        "a PMODULE";
    EXPECT_TRUE(b.Has("Fatal Error: " + message + "\n")) << b.Out();
    EXPECT_EQ(ReadIniString(b.ctx, job, "Message"), message);
    EXPECT_EQ(b.Model().Counters().commands.count(0x1011), 0u);
    EXPECT_EQ(b.Model().Mode(), sim::UnitMode::Software);
    EXPECT_FALSE(b.LockLeft());
    EXPECT_FALSE(b.PortOpen());
  }
  {  // A Transmitter with MCU type 3: no software is carried for it.
    SCOPED_TRACE("A Transmitter with MCU type 3");
    sim::UnitProfile p = sim::TransmitterMcu2Profile(1);
    p.mcu = 3;
    p.bootRelease = 9;
    UpdateBench b(p);
    EXPECT_EQ(b.Run({"-y", "COM3"}), 1);
    EXPECT_TRUE(b.Has("  Selected unit is a Transmitter\nFatal Error: No new software can be found for this unit\n"))
        << b.Out();
    EXPECT_EQ(b.Model().Counters().flashBlocks, 0u);
    EXPECT_EQ(b.Model().Version(), 490);
    EXPECT_FALSE(b.LockLeft());
  }
  {  // A pre-production board outside manufacturing mode is left running.
    SCOPED_TRACE("A pre-production board outside manufacturing mode is left running");
    sim::UnitProfile p = sim::DefaultProfile();
    p.bootFlags = 0x82;
    UpdateBench b(p);
    EXPECT_EQ(b.Run({"-y", "COM3"}), 1);
    EXPECT_TRUE(b.Has("Test software present (pre-production board)\n"));
    EXPECT_TRUE(b.Has("Fatal Error: Cannot update this unit (pre-production board)\n")) << b.Out();
    EXPECT_EQ(b.Model().Counters().commands.count(0x1032), 1u);
    EXPECT_EQ(b.Model().Counters().flashBlocks, 0u);
    EXPECT_EQ(b.Model().Flags(), 0x82);
    EXPECT_FALSE(b.LockLeft());
  }
}

TEST(UpdateTransmitter, PModuleNoticesByTypeAndCircuitCode) {
  struct Case {
    uint8_t family, pmodule;
    uint16_t circuit;
    const char* text;
  };
  const std::string unsure =
      "Unable to determine whether this Corvanta unit contains an FCHIP or a PMODULE\n\n"
      "IMPORTANT NOTICE: After this software update has completed the unit will only\n"
      "operate with a PMODULE. The unit will not operate if it is fitted with an FCHIP\n"
      "Do not continue with this software update if the unit is fitted with an FCHIP\n";
  const Case cases[] = {
      {2, 2, 1, "This Corvanta unit contains a BLUE PMODULE\n"},
      {2, 3, 1, "This Corvanta unit contains a YELLOW PMODULE\n"},
      {2, 0, 5, "This Corvanta unit contains a YELLOW PMODULE\n"},
      {2, 7, 9, "This Corvanta unit contains a YELLOW PMODULE\n"},
      {2, 0, 4, unsure.c_str()},
      {1, 1, 1, ""},  // a Display has no P-Module
  };
  for (const Case& c : cases) {
    testing::FakeRun run;
    UnitVersions v;
    v.circuitCode = c.circuit;
    UnitInfo info;
    info.cardFamily = c.family;
    info.pModuleType = c.pmodule;
    PModuleNotice(run.ctx, v, info);
    EXPECT_EQ(run.console.Output(), c.text);
  }
}

}  // namespace
}  // namespace corv
