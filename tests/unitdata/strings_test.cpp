// The strings file: EEPROM status rules, the header test, the write order,
// selective acknowledgement and its failures; images and fonts in table order.
#include "payloads/catalogue.h"
#include "sim/unit_data.h"
#include "tests/unitdata/unit_rig.h"
#include "unitdata/strings_file.h"
#include "unitdata/unit_files.h"

namespace corv::test {
namespace {

using Bytes = std::vector<uint8_t>;

// The strings update with the EEPROM flag first set to `seed`, so that a check
// of the flag afterwards sees what the update set.
bool Update(UnitRig& rig, bool force, const uint8_t* data, uint32_t length, bool& eeprom, bool seed = true) {
  eeprom = seed;
  return UpdateStringsFile(*rig.link, rig.info, force, data, length, eeprom);
}

// The stand-in strings file: 64,212 bytes, sent as 502 blocks of 128 bytes
// after the block of 0xFF that blanks its header first.
constexpr uint32_t kStringsBytes = 64212;
constexpr uint64_t kStringsBlocks = 503;

TEST(StringsFile, EepromStatusDecidesWhetherAnythingIsSent) {
  const ByteBlock payload = StringsFile();
  ASSERT_EQ(payload.length, kStringsBytes);
  bool eeprom = false;
  {
    SCOPED_TRACE("8K EEPROM, forced");
    UnitRig rig(sim::TransmitterMcu2Profile(0));
    rig.StartProgrammer();
    EXPECT_TRUE(Update(rig, true, payload.data, payload.length, eeprom));
    EXPECT_FALSE(eeprom);
    EXPECT_TRUE(rig.Shows("  EEPROM:       8K\n"));
    EXPECT_FALSE(rig.Shows("Warning"));
    EXPECT_EQ(rig.unit.Model().Counters().stringsBlocks, 0u);
  }
  {
    SCOPED_TRACE("128K EEPROM that failed, forced");
    UnitRig rig(sim::TransmitterMcu2Profile(2));
    rig.StartProgrammer();
    EXPECT_TRUE(Update(rig, true, payload.data, payload.length, eeprom));
    EXPECT_FALSE(eeprom);
    EXPECT_TRUE(rig.Shows("  EEPROM:       128K\nWarning: unit requires servicing (128K EEPROM failed)\n"));
    EXPECT_EQ(rig.unit.Model().Counters().stringsBlocks, 0u);
  }
  {
    SCOPED_TRACE("128K EEPROM, verified");
    UnitRig rig(sim::TransmitterMcu2Profile(1));
    rig.ctx.settings.verifyOn = true;
    rig.StartProgrammer();
    EXPECT_TRUE(Update(rig, false, payload.data, payload.length, eeprom, false));
    EXPECT_TRUE(eeprom);
    EXPECT_TRUE(rig.Shows("OK - GetStringFileAttributes:01\n  EEPROM:       128K\n"));
    EXPECT_TRUE(rig.Shows("Updating Corvanta strings file...\n"));
    EXPECT_TRUE(rig.Shows("OK - file has been verified\n"));
    const Bytes& area = rig.unit.Model().StringsArea();
    EXPECT_TRUE(std::equal(payload.data, payload.data + payload.length, area.begin()));
    EXPECT_EQ(rig.unit.Model().Counters().stringsBlocks, kStringsBlocks);

    // Equal headers: up to date, unless forced.
    rig.console.ClearOutput();
    EXPECT_TRUE(Update(rig, false, payload.data, payload.length, eeprom, false));
    EXPECT_TRUE(eeprom);
    EXPECT_TRUE(rig.Shows("-- Corvanta string file is up to date\n"));
    const uint64_t before = rig.unit.Model().Counters().stringsBlocks;
    EXPECT_TRUE(Update(rig, true, payload.data, payload.length, eeprom));
    EXPECT_EQ(rig.unit.Model().Counters().stringsBlocks, before + kStringsBlocks);
  }
}

TEST(StringsFile, ErasedBlockFirstHeaderBlockLast) {
  sim::UnitProfile profile = sim::TransmitterMcu2Profile(1);
  profile.strings.assign(300, 0xAA);
  UnitRig rig(profile);
  rig.StartProgrammer();
  Bytes small(100);
  for (size_t i = 0; i < small.size(); ++i) small[i] = static_cast<uint8_t>(i + 1);
  // A header that names neither the right size nor the magic: warnings only.
  bool eeprom = false;
  EXPECT_TRUE(Update(rig, false, small.data(), 100, eeprom));
  EXPECT_TRUE(rig.Shows("-- New corvanta string file size is incorrect\n"));
  EXPECT_TRUE(rig.Shows("-- New corvanta string file has incorrect magic number\n"));
  EXPECT_EQ(rig.unit.Model().Counters().stringsBlocks, 2u);
  const Bytes& area = rig.unit.Model().StringsArea();
  EXPECT_TRUE(std::equal(small.begin(), small.end(), area.begin())) << "the payload went last";
  EXPECT_TRUE(std::all_of(area.begin() + 100, area.begin() + 128, [](uint8_t b) { return b == 0xFF; }));
  EXPECT_TRUE(std::all_of(area.begin() + 128, area.begin() + 300, [](uint8_t b) { return b == 0xAA; }))
      << "nothing written from offset 128";
}

TEST(StringsFile, OverlappedFailuresAreNeverLost) {
  const ByteBlock payload = StringsFile();
  ASSERT_EQ(payload.length, kStringsBytes);
  const uint64_t blocks = kStringsBlocks;
  bool eeprom = false;
  {
    // The reply for block 5 is lost and block 6 fails: its reply arrives
    // ahead of the tail's and is kept until the tail gets there.
    UnitRig rig(sim::TransmitterMcu2Profile(1), true);
    rig.StartProgrammer();
    ASSERT_TRUE(rig.info.overlapped);
    sim::UnitModel& unit = rig.unit.Model();
    unit.faults.dropReply.insert(unit.Counters().replies + 1 + 5);
    unit.faults.stringsBlockResult[6] = 0x44;
    EXPECT_FALSE(Update(rig, false, payload.data, payload.length, eeprom));
    EXPECT_TRUE(rig.Shows("Unit reported hardware failure, cannot write to flash drive. Address=$00000280, Result=44\n"));
    EXPECT_FALSE(rig.Shows("OK - file has been updated"));
  }
  {
    // The last body block fails: the header block must never have gone out,
    // so the next run does not take the broken file for up to date.
    UnitRig rig(sim::TransmitterMcu2Profile(1), true);
    rig.StartProgrammer();
    rig.unit.Model().faults.stringsBlockResult[blocks - 1] = 0x45;
    EXPECT_FALSE(Update(rig, false, payload.data, payload.length, eeprom));
    EXPECT_TRUE(rig.Shows("Result=45\n"));
    const Bytes& area = rig.unit.Model().StringsArea();
    EXPECT_TRUE(std::all_of(area.begin(), area.begin() + 128, [](uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(rig.unit.Model().Counters().stringsBlocks, blocks - 1);
    rig.console.ClearOutput();
    EXPECT_TRUE(Update(rig, false, payload.data, payload.length, eeprom));
    EXPECT_FALSE(rig.Shows("up to date"));
    EXPECT_TRUE(std::equal(payload.data, payload.data + payload.length, area.begin()));
  }
}

TEST(DriveFiles, FontsInTableOrderEachTestedOnItsOwn) {
  sim::UnitProfile profile = sim::DefaultProfile();
  const FontEntry& third = FontTable()[2];
  profile.files[third.fileNumber].assign(third.data, third.data + third.length);
  UnitRig rig(profile);
  rig.StartProgrammer();
  EXPECT_TRUE(UpdateFontFiles(*rig.link, rig.info));
  const std::string& out = rig.Out();
  EXPECT_EQ(Count(out, "-- Corvanta file is up to date"), 1u);
  EXPECT_EQ(Count(out, "Updating Corvanta file..."), 13u);
  // The third font's check comes between the second's and the fourth's.
  EXPECT_LT(out.find("GetFileAttributes:51"), out.find("GetFileAttributes:52"));
  EXPECT_LT(out.find("GetFileAttributes:52"), out.find("GetFileAttributes:53"));
  for (const FontEntry& f : FontTable()) {
    const auto words = sim::FileAttributes(f.data, f.length, true);
    EXPECT_EQ(rig.unit.Model().Attributes(f.fileNumber), words) << int{f.fileNumber};
  }
}

}  // namespace
}  // namespace corv::test
