// Unit profiles as text, and the state text a unit reports.
#include <gtest/gtest.h>

#include "payloads/catalogue.h"
#include "sim/unit_data.h"
#include "tests/sim/bench.h"

namespace corv::sim::test {
namespace {

TEST(UnitProfileText, ReadsEveryKindOfSettingAndRefusesBadLines) {
  UnitProfile p = DefaultProfile();
  std::string error;
  ASSERT_TRUE(ParseProfile(p,
                           "# a Transmitter\r\n"
                           "card=620\nversion=5.10\nmcu=2\nbootRelease=0x05\nchecksum=0x56149889\n"
                           "address=7\nrate=57600\nparity=even\nbootRate=115200\ncts=0\n"
                           "info=A\\tB\\r\nbuildTime=5,1,9,7,3,0\npmoduleType=3\npmoduleVersion=4.40\n"
                           "serial=100001\neeprom=2\nstrings=header:64212,0x9C,0x5354,0x9EBB\n"
                           "file50=random:302:9\nfile51=hex:464F24\nfile40=catalogue\n"
                           "fieldsCheck=1\nfieldsUpdate=auto\nkind=instrument\nbootWindowMs=250\n",
                           error))
      << error;
  EXPECT_EQ(p.card, 620);
  EXPECT_EQ(p.version, 510);
  EXPECT_EQ(p.bootRelease, 5);
  EXPECT_EQ(p.address, 7);
  EXPECT_TRUE(p.evenParity);
  EXPECT_EQ(p.bootRate, 115200);
  EXPECT_EQ(p.cts, std::optional<bool>(false));
  EXPECT_EQ(p.info, "A\tB\r");
  EXPECT_EQ(p.buildTime[0], 5);
  EXPECT_EQ(p.buildTime[5], 0);
  EXPECT_EQ(p.pmoduleVersion, 440);
  EXPECT_EQ(p.serial, 100001u);
  EXPECT_EQ(p.strings.size(), 12u);
  EXPECT_EQ(p.files.at(0x50).size(), 302u);
  EXPECT_EQ(p.files.at(0x51), (std::vector<uint8_t>{'F', 'O', '$'}));
  EXPECT_EQ(p.files.at(0x40).size(), ImagesFile().length);
  EXPECT_EQ(p.fieldsCheck, 1);
  EXPECT_EQ(p.fieldsUpdate, -1);
  EXPECT_EQ(p.bootWindowUs, 250000u);

  for (const char* bad : {"address=34", "bootRate=57600", "parity=odd", "version=4.9", "nonsense=1", "rate",
                          "file5G=hex:00", "fields=0011", "strings=header:1,2,3", "mcu=x"}) {
    UnitProfile q = DefaultProfile();
    EXPECT_FALSE(ParseProfile(q, std::string("card=611\n") + bad + "\n", error)) << bad;
    EXPECT_EQ(error.substr(0, 7), "line 2:") << bad;
  }
}

TEST(UnitProfileText, StateTextNamesWhatTheUnitHolds) {
  UnitProfile p = DefaultProfile();
  std::string error;
  ASSERT_TRUE(ParseProfile(p, "serial=99999\nfile50=hex:01020304050607\nstrings=catalogue\n", error)) << error;
  Bench b(p);
  const std::string s = b.unit.StateText();
  EXPECT_NE(s.find("mode=software\n"), std::string::npos) << s;
  EXPECT_NE(s.find("version=490\n"), std::string::npos);
  EXPECT_NE(s.find("checksum=0x1A2B3C4D\n"), std::string::npos);
  EXPECT_NE(s.find("release=9\nflags=2\nserial=99999\nrate=19200\n"), std::string::npos);
  // Little-endian words on MCU type 3: 0x04030201 and 0x00070605.
  EXPECT_NE(s.find("file50=7,0x04030201,0x00070605,0x04030201,0x00070605\n"), std::string::npos) << s;
  EXPECT_NE(s.find("strings=64212,0x0000009C,0x5354,0x9EBB\n"), std::string::npos);

  // The parameter-file texts of a record name the same serial number.
  const FieldsText t = FieldsAsText(MakeFieldsRecord(99999));
  EXPECT_EQ(t.serialNo.size(), 8u);
  EXPECT_EQ(t.secretKeys.size(), 64u);
  EXPECT_EQ(std::stoul(t.serialNo, nullptr, 16) ^ kSerialCipher, 99999u);
  EXPECT_EQ(FieldsSerial(MakeFieldsRecord(0).data()), 0u);
}

}  // namespace
}  // namespace corv::sim::test
