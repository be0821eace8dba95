// The update run of the whole program on a virtual unit, on virtual time: what
// it decides for units in the states the program knows, what it writes, and
// what the unit holds afterwards.
#include "update_rig.h"

namespace corv {
namespace {

using testing::CurrentDisplay;
using testing::UpdateBench;

// After a successful update the unit runs the carried software again.
void ExpectCurrentSoftware(UpdateBench& b, uint32_t checksum) {
  EXPECT_EQ(b.Model().Version(), kPayloadSoftwareVersion);
  EXPECT_EQ(b.Model().Checksum(), checksum);
  EXPECT_EQ(b.Model().Flags() & 0x05, 0);
}

// What every update run leaves behind: success, the port closed, no lock.
void ExpectCleanSuccess(UpdateBench& b, int status) {
  EXPECT_EQ(status, 0) << b.Out();
  EXPECT_TRUE(b.Has("Success: all operations are complete\n")) << b.Out();
  EXPECT_FALSE(b.LockLeft());
  EXPECT_FALSE(b.PortOpen());
  EXPECT_GE(b.console.Restores(), 1);
}

TEST(UpdateRun, DefaultUnitIsUpdatedThenFoundCurrent) {
  UpdateBench b(sim::DefaultProfile());
  ExpectCleanSuccess(b, b.Run({"-y", "-d", "COM3"}));
  EXPECT_TRUE(b.Has("Updating corvanta software because it is different than the current version\n"));
  EXPECT_TRUE(b.Has("-- corvanta software will be updated\n")) << b.Out();
  EXPECT_TRUE(b.Has("\n  Selected unit is a Display\n"));
  ExpectCurrentSoftware(b, kDisplayMcu3Checksum);
  EXPECT_EQ(b.Model().Serial(), 12345u);  // the fields of an MCU type 3 live apart from the image
  EXPECT_EQ(b.Model().Files().size(), 15u);
  EXPECT_EQ(b.Model().Files().at(kImagesFileNumber).size(), ImagesFile().length);
  EXPECT_EQ(b.SavedPort(), "3");
  // Pausing before the reconnection, then the reconnection itself.
  EXPECT_TRUE(b.Has("Pausing for 2 seconds to bypass boot loader and unit startup\nReconnecting\n")) << b.Out();
  const std::string log = b.Log();
  EXPECT_NE(log.find("Updating corvanta software because it is different than the current version\r\n"),
            std::string::npos);
  EXPECT_NE(log.find("Success: all operations are complete\r\n"), std::string::npos);

  // The same unit a second time: nothing written, the files only compared.
  const uint64_t blocks = b.Model().Counters().flashBlocks;
  const uint64_t fileBlocks = b.Model().Counters().fileBlocks;
  b.console.ClearOutput();
  ExpectCleanSuccess(b, b.Run({"-y", "COM3"}));
  EXPECT_TRUE(b.Has("-- corvanta software is already the correct version\n")) << b.Out();
  EXPECT_EQ(b.Model().Counters().flashBlocks, blocks);
  EXPECT_EQ(b.Model().Counters().fileBlocks, fileBlocks);
}

TEST(UpdateRun, CurrentUnitWithAndWithoutW) {
  UpdateBench b(CurrentDisplay());
  ExpectCleanSuccess(b, b.Run({"-y", "-d", "COM3"}));
  EXPECT_TRUE(b.Has("-- corvanta software is already the correct version\n")) << b.Out();
  EXPECT_EQ(b.Out().find("Updating"), std::string::npos) << b.Out();
  EXPECT_EQ(b.Model().Counters().flashBlocks, 0u);
  EXPECT_EQ(b.Model().Counters().fileBlocks, 0u);
  // The images and fonts are still compared, through the flash programmer.
  EXPECT_EQ(b.Count("-- Corvanta file is up to date\n"), 15u) << b.Out();
  EXPECT_TRUE(b.Has("Downloading programmer...\n"));
  EXPECT_EQ(b.Model().Counters().commands.count(0x1032), 1u);  // reset at the end
  EXPECT_EQ(b.SavedPort(), "");  // nothing written, nothing saved

  b.console.ClearOutput();
  ExpectCleanSuccess(b, b.Run({"-y", "-d", "-w", "-s", "COM3"}));
  EXPECT_FALSE(b.Has("Selected unit is a Display"));  // not with -s
  EXPECT_TRUE(b.Has("Updating corvanta software because -w command line option specified\n"
                    "-- corvanta software will be updated\n"))
      << b.Out();
  EXPECT_EQ(b.Model().Counters().passes, 1u);
  ExpectCurrentSoftware(b, kDisplayMcu3Checksum);
  EXPECT_EQ(b.Model().Counters().fileBlocks, 0u);
}

TEST(UpdateRun, VersionSerialNumberAndBootLoaderReasons) {
  struct Case {
    const char* name;
    uint16_t version;
    uint32_t serial;
    uint8_t release;
    const char* reason;  // null: nothing to write
  };
  const Case cases[] = {
      {"newer software", 520, 12345, 9, "Updating corvanta software because it is different than the current version"},
      {"serial 9999", 510, 9999, 9, "Updating corvanta software because the serial number is missing"},
      {"serial 100001", 510, 100001, 9, "Updating corvanta software because the serial number is missing"},
      {"serial 10000", 510, 10000, 9, nullptr},
      {"serial 100000", 510, 100000, 9, nullptr},
      {"release 3", 510, 12345, 3,
       "Updating corvanta software because the checksum is not available (old boot loader)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::UnitProfile p = CurrentDisplay();
    p.version = c.version;
    p.serial = c.serial;
    p.bootRelease = c.release;
    UpdateBench b(p);
    ExpectCleanSuccess(b, b.Run({"-y", "-d", "COM3"}));
    if (c.reason) {
      EXPECT_TRUE(b.Has(std::string(c.reason) + "\n")) << b.Out();
      EXPECT_TRUE(b.Has("-- corvanta software will be updated\n"));
      EXPECT_EQ(b.Model().Counters().passes, 1u);
      ExpectCurrentSoftware(b, kDisplayMcu3Checksum);
    } else {
      EXPECT_TRUE(b.Has("-- corvanta software is already the correct version\n")) << b.Out();
      EXPECT_EQ(b.Model().Counters().flashBlocks, 0u);
    }
    // A rewrite keeps the serial number the unit had, valid or not.
    EXPECT_EQ(b.Model().Serial(), c.serial);
    EXPECT_EQ(b.Model().Release(), c.release);  // only a pre-production board gets a boot loader
  }
}

}  // namespace
}  // namespace corv
