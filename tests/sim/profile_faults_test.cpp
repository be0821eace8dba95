// Profile values no unit has are refused with the key, the value and what is
// allowed; the failure faults a profile can give a unit (a command ignored from
// its n-th request on, a forced result code, the release the secured boot
// loader leaves, an LPC chip that never synchronises) do what they say.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "sim/unit_profile.h"
#include "tests/common/processes.h"
#include "tests/common/scratch.h"
#include "tests/sim/bench.h"

namespace corv::sim::test {
namespace {

std::string Refusal(const std::string& text) {
  UnitProfile p = DefaultProfile();
  std::string error;
  EXPECT_FALSE(ParseProfile(p, text, error)) << text;
  return error;
}

TEST(ProfileValues, ValuesNoUnitHasAreRefusedWithWhatIsAllowed) {
  struct Case {
    const char* line;
    const char* error;
  };
  const Case cases[] = {
      {"mcu=9", "line 1: bad value: mcu=9 (allowed: MCU type 1, 2, 3 or 5)"},
      {"mcu=4", "line 1: bad value: mcu=4 (allowed: MCU type 1, 2, 3 or 5)"},
      {"mcu=x", "line 1: bad value: mcu=x (allowed: MCU type 1, 2, 3 or 5)"},
      {"card=0", "line 1: bad value: card=0 (allowed: a card number, 1 to 65535)"},
      {"card=65536", "line 1: bad value: card=65536 (allowed: a card number, 1 to 65535)"},
      {"eeprom=9", "line 1: bad value: eeprom=9 (allowed: 0 (8K), 1 (128K working) or 2 (128K failed))"},
      {"eeprom=3", "line 1: bad value: eeprom=3 (allowed: 0 (8K), 1 (128K working) or 2 (128K failed))"},
      {"bootVersion=0", "line 1: bad value: bootVersion=0 (allowed: 1 to 15)"},
      {"address=34", "line 1: bad value: address=34 (allowed: 240 or 1 to 33)"},
      {"bootRate=57600", "line 1: bad value: bootRate=57600 (allowed: 9600 or 115200)"},
      {"unanswered=0x1032:0", "line 1: bad value: unanswered=0x1032:0 (allowed: none or CODE:N[,CODE:N...], N from 1 "
                              "(0x1032:1))"},
      {"unanswered=0x1032", "line 1: bad value: unanswered=0x1032 (allowed: none or CODE:N[,CODE:N...], N from 1 "
                            "(0x1032:1))"},
      {"result=0x1010:1", "line 1: bad value: result=0x1010:1 (allowed: none or CODE:RESULT[,...] for 0x1019, 0x1030, "
                          "0x1031, 0x1040, 0x1050, 0x1052, 0x1053, 0x1059, 0x1060, 0x1070, 0x1071, 0x1080, 0x1082 or "
                          "0x10F0 (0x1080:7))"},
      {"result=0x1080:256", "line 1: bad value: result=0x1080:256 (allowed: none or CODE:RESULT[,...] for 0x1019, "
                            "0x1030, 0x1031, 0x1040, 0x1050, 0x1052, 0x1053, 0x1059, 0x1060, 0x1070, 0x1071, 0x1080, "
                            "0x1082 or 0x10F0 (0x1080:7))"},
      {"secureBootRelease=256", "line 1: bad value: secureBootRelease=256 (allowed: current or 0 to 255)"},
      {"lpcSync=2", "line 1: bad value: lpcSync=2 (allowed: 0 or 1)"},
  };
  for (const Case& c : cases) EXPECT_EQ(Refusal(std::string(c.line) + "\n"), c.error) << c.line;

  // The values units do have still read.
  UnitProfile p = DefaultProfile();
  std::string error;
  for (const char* good : {"mcu=1", "mcu=2", "mcu=5", "mcu=3", "card=1", "card=65535", "eeprom=0", "eeprom=2"}) {
    EXPECT_TRUE(ParseProfile(p, good, error)) << good << ": " << error;
  }
  ASSERT_TRUE(ParseProfile(p,
                           "unanswered=0x1032:1,0x1070:2\nresult=0x1080:7,0x1050:2\nsecureBootRelease=8\nlpcSync=0\n",
                           error))
      << error;
  EXPECT_EQ(p.unansweredFrom, (std::map<uint16_t, uint64_t>{{0x1032, 1}, {0x1070, 2}}));
  EXPECT_EQ(p.forcedResult, (std::map<uint16_t, uint8_t>{{0x1080, 7}, {0x1050, 2}}));
  EXPECT_EQ(p.secureBootRelease, 8);
  EXPECT_FALSE(p.lpcSync);
  ASSERT_TRUE(ParseProfile(p, "unanswered=none\nresult=none\nsecureBootRelease=current\n", error)) << error;
  EXPECT_TRUE(p.unansweredFrom.empty());
  EXPECT_TRUE(p.forcedResult.empty());
  EXPECT_EQ(p.secureBootRelease, -1);
}

TEST(ProfileValues, FolderOrUnreadableFileIsNoProfile) {
  corv::testing::TempDir box("corv-profile");
  UnitProfile p = DefaultProfile();
  std::string error;
  EXPECT_FALSE(LoadProfile(p, box.path, error));
  EXPECT_EQ(error, "is a folder, not a profile file");
  EXPECT_FALSE(LoadProfile(p, box.path + "/missing.txt", error));
  EXPECT_EQ(error, "cannot read: No such file or directory");

  // CorvSim says so and ends with status 2 before it makes its port.
  const corv::testing::Finished r = corv::testing::RunToEnd(
      corv::testing::BinDir() + "/CorvSim", {"--profile", box.path, "COM7"},
      corv::testing::Launch{{}, {"CORVANTAROOT=" + box.path}}, "", 10, 10);
  EXPECT_EQ(r.status, 2) << r.out;
  EXPECT_EQ(r.out, "CorvSim: " + box.path + ": is a folder, not a profile file\n");
  EXPECT_FALSE(std::filesystem::exists(box.path + "/com7"));
  std::ofstream(box.path + "/unit.txt") << "# an unknown MCU\nmcu=9\n";
  const corv::testing::Finished bad = corv::testing::RunToEnd(
      corv::testing::BinDir() + "/CorvSim", {"--profile", box.path + "/unit.txt", "COM7"},
      corv::testing::Launch{{}, {"CORVANTAROOT=" + box.path}}, "", 10, 10);
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(bad.out,
            "CorvSim: " + box.path + "/unit.txt: line 2: bad value: mcu=9 (allowed: MCU type 1, 2, 3 or 5)\n");
}

// A file-open request in the flash programmer.
std::vector<uint8_t> FileRequest(uint16_t code, uint8_t file) {
  std::vector<uint8_t> f = Cmd(1, code);
  Put8(f, file);
  return f;
}

TEST(ProfileFaults, IgnoredFromTheNthRequestAndForcedResults) {
  UnitProfile p = DefaultProfile();
  std::string error;
  ASSERT_TRUE(ParseProfile(p, "unanswered=0x1070:2,0x1032:1\nresult=0x1080:7\n", error)) << error;
  Bench b(p);
  StartProgrammer(b);
  ASSERT_EQ(b.unit.Mode(), UnitMode::Programmer);

  // The first create is answered and makes the file; the second and later are ignored.
  EXPECT_EQ(b.Ask(FileRequest(0x1070, 0x40)), (std::vector<uint8_t>{1, 0x45, 0x10, 0x70, 0}));
  EXPECT_EQ(b.unit.Files().count(0x40), 1u);
  EXPECT_TRUE(b.Ask(FileRequest(0x1070, 0x41)).empty());
  EXPECT_TRUE(b.Ask(FileRequest(0x1070, 0x41)).empty());
  EXPECT_EQ(b.unit.Files().count(0x41), 0u);

  // A forced close result: the file stays open for writing.
  EXPECT_EQ(b.Ask(FileRequest(0x1080, 0x40)), (std::vector<uint8_t>{1, 0x45, 0x10, 0x80, 7}));
  std::vector<uint8_t> block = Cmd(1, 0x1071);
  Put8(block, 0x40);
  Put32(block, 0);
  Put8(block, 2);
  Put8(block, 0xAB);
  Put8(block, 0xCD);
  EXPECT_EQ(b.Ask(block).back(), 0);  // still written: the file was never closed
  EXPECT_EQ(b.unit.Files().at(0x40), (std::vector<uint8_t>{0xAB, 0xCD}));

  // Reset unit ignored: the unit never restarts.
  EXPECT_TRUE(b.Ask(Cmd(1, 0x1032)).empty());
  b.Wait(100000);
  EXPECT_EQ(b.unit.Mode(), UnitMode::Programmer);
}

TEST(ProfileFaults, SecuredBootLoaderCanLeaveAnOldRelease) {
  for (const char* release : {"current", "8"}) {
    SCOPED_TRACE(release);
    UnitProfile p = DefaultProfile();
    std::string error;
    ASSERT_TRUE(ParseProfile(p, std::string("bootFlags=0x82\nbootRelease=3\nsecureBootRelease=") + release, error));
    Bench b(p);
    ToBootLoader(b);
    EXPECT_EQ(b.Ask(Cmd(1, 0x10F0)), (std::vector<uint8_t>{1, 0x45, 0x10, 0xF0, 0}));
    EXPECT_EQ(b.unit.Flags() & 0x80, 0);
    EXPECT_EQ(b.unit.Release(), std::string(release) == "8" ? 8 : 9);
  }
}

TEST(ProfileFaults, LpcChipThatNeverSynchronises) {
  for (bool sync : {true, false}) {
    UnitProfile p = DefaultProfile();
    p.kind = UnitKind::LpcIsp;
    p.lpcSync = sync;
    Bench b(p);
    const std::vector<uint8_t> answer = b.Feed({'?'});
    EXPECT_EQ(std::string(answer.begin(), answer.end()), "Synchronized\r\n");
    const std::string echo = "Synchronized\r\n";
    const std::vector<uint8_t> got = b.Feed(std::vector<uint8_t>(echo.begin(), echo.end()));
    EXPECT_EQ(std::string(got.begin(), got.end()), sync ? "Synchronized\r\nOK\r\n" : "") << sync;
  }
}

}  // namespace
}  // namespace corv::sim::test
