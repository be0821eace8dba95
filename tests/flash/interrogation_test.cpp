// The unit-information blocks, the extended information and the tables that
// classify a unit and refuse the ones the program cannot update.
#include <gtest/gtest.h>

#include "flash/flash_target.h"
#include "flash/interrogation.h"
#include "flash/unit_tables.h"
#include "tests/flash/flash_rig.h"

namespace corv::test {
namespace {

TEST(BootLoaderBlock, ReleaseDecidesChecksumAndFlagLines) {
  auto block = [](uint8_t release, uint8_t flags) {
    Rig rig;
    rig.info.bootVersion = 3;
    rig.info.bootRelease = release;
    rig.info.mcuType = 3;
    rig.info.checksum = 0x00ABCDEF;
    rig.info.bootFlags = flags;
    PrintBootLoaderBlock(rig.ctx, rig.info);
    return rig.Out();
  };
  EXPECT_EQ(block(3, 0x0E), "  Boot loader:  v3\n  MCU Type:     3\n");
  EXPECT_EQ(block(4, 0x02), "  Boot loader:  v3 r4\n  MCU Type:     3\n  Checksum:     00ABCDEF\n");
  EXPECT_EQ(block(9, 0x01), "  Boot loader:  v3 r9\n  MCU Type:     3\n  Checksum:     00ABCDEF\n"
                            "                There is no Corvanta software in the unit\n");
  EXPECT_EQ(block(9, 0x00), "  Boot loader:  v3 r9\n  MCU Type:     3\n  Checksum:     00ABCDEF\n"
                            "                The Flash test is disabled\n");
  // The RAM-test warning gives way to the flash-test one.
  EXPECT_EQ(block(9, 0x0E), "  Boot loader:  v3 r9\n  MCU Type:     3\n  Checksum:     00ABCDEF\n"
                            "\nWARNING: Flash test failed\n");
  EXPECT_EQ(block(9, 0x8A), "  Boot loader:  v3 r9\n  MCU Type:     3\n  Checksum:     00ABCDEF\n"
                            "\nWARNING: The unit has a hardware fault: RAM test failed\n"
                            "                Test software present (pre-production board)\n");
}

// The extended-information reply of a unit: record length 24 unless given.
std::vector<uint8_t> ExtendedReply(uint8_t address, uint8_t flag, uint8_t pType, uint8_t textLength,
                                   uint8_t recordLength = 24) {
  std::vector<uint8_t> r{address, 0x45, 0x10, 0x15, recordLength, flag};
  Put16(r, 0x00AB);
  Put16(r, 0x1234);
  Put16(r, 0xFFFF);
  Put32(r, 4000000000u);
  r.push_back(pType);
  Put32(r, 77);
  Put16(r, 409);
  for (uint8_t b : {5, 1, 9, 7, 3, 0}) r.push_back(b);
  r.push_back(textLength);
  return r;
}

struct ExtendedCase {
  Rig rig;
  bool result = false;
  ExtendedCase(uint8_t flag, uint8_t pType, std::string text, uint8_t recordLength = 24) {
    rig.line.Attach(&rig.unit);
    rig.link.unitId = 240;
    rig.link.versions.productNumber = 150;
    rig.unit.intercept = [this, flag, pType, text, recordLength](const Frame& f) {
      if (f.Code() == 0x1015) {
        rig.unit.Reply(f, ExtendedReply(240, flag, pType, static_cast<uint8_t>(text.size()), recordLength));
      } else if (f.Code() == 0x1016) {
        std::vector<uint8_t> r{240, 0x45, 0x10, 0x16};
        r.insert(r.end(), text.begin(), text.end());
        rig.unit.Reply(f, r);
      }
      return true;
    };
    rig.Open(19200);
    result = ReadExtendedInformation(rig.link, rig.info);
  }
};

TEST(ExtendedInformation, ReadParsedAndPrinted) {
  {
    SCOPED_TRACE("extended information with an information text");
    ExtendedCase c(1, 0, "A\rB\tC!");
    EXPECT_TRUE(c.result);
    EXPECT_TRUE(c.rig.Has("Requesting extended information\nOK - got extended information\n"
                          "Requesting information text\nOK - got information text\n"
                          "  Masks:        ft$00AB  rt$1234  new$FFFF\n"
                          "Unit details:\n"
                          "  Serial No:    4000000000\n"
                          "  Build time:   2005-01-09 07:03:00\n"
                          "  Information:  A:B:C!\n"));
    EXPECT_FALSE(c.rig.Has("P-Module"));
    EXPECT_EQ(c.rig.info.serialNumber, 4000000000u);
    EXPECT_EQ(c.rig.info.informationText, "A:B:C!");
  }
  {
    SCOPED_TRACE("extended information with a P-Module, no text");
    ExtendedCase c(1, 2, "");
    EXPECT_TRUE(c.result);
    EXPECT_TRUE(c.rig.Has("  Serial No:    4000000000\n"
                          "  P-Module:     CV150-T2 S/N 77 - last used with v4.09\n"
                          "  Build time:   2005-01-09 07:03:00\n"));
    EXPECT_FALSE(c.rig.Has("Information:"));
  }
  {
    SCOPED_TRACE("Without a text the record is kept but not shown");
    ExtendedCase c(0, 2, "xyz");
    EXPECT_TRUE(c.result);
    EXPECT_TRUE(c.rig.info.extendedRead);
    EXPECT_EQ(c.rig.info.pModuleType, 2);
    EXPECT_FALSE(c.rig.Has("Masks"));
    EXPECT_EQ(c.rig.unit.count[0x1016], 0);
  }
  for (uint8_t length : {23, 25}) {
    ExtendedCase c(1, 0, "t", length);
    EXPECT_FALSE(c.result) << int{length};
    EXPECT_FALSE(c.rig.info.extendedRead);
    EXPECT_FALSE(c.rig.Has("OK - got extended information"));
  }
  {
    SCOPED_TRACE("A silent unit: two requests, then failure, and the run goes on");
    Rig rig;
    rig.Open(19200);
    EXPECT_FALSE(ReadExtendedInformation(rig.link, rig.info));
  }
}

TEST(UnitTables, CardNumbersProgrammersAndTargets) {
  EXPECT_EQ(CardFamily(611), kFamilyDisplay);
  EXPECT_EQ(CardFamily(647), kFamilyDisplay);
  EXPECT_EQ(CardFamily(620), kFamilyTransmitter);
  EXPECT_EQ(CardFamily(468), kFamilyTransmitter);
  EXPECT_EQ(CardFamily(612), 0);
  {
    SCOPED_TRACE("card 647: a Display");
    Rig rig;
    rig.link.versions = {647, 5, 490, 150};
    VersionsRead(rig.link, rig.info);
    EXPECT_EQ(rig.Out(), "Corvanta Info:\n  Card:         647\n  Circuit code: 5\n  Software:     v4.90\n"
                         "  Product:      CV150\n");
    EXPECT_EQ(rig.info.cardFamily, kFamilyDisplay);
  }
  {
    SCOPED_TRACE("card 1234: unsupported");
    Rig rig;
    rig.ctx.settings.yesToPrompts = true;
    rig.link.versions = {1234, 5, 409, 150};
    InstallVersionsHook(rig.link, rig.info);
    EXPECT_EQ(FatalStatus([&] { rig.link.versionsRead(); }), 1);
    EXPECT_TRUE(rig.Has("Fatal Error: Unsupported Card Number"));
  }

  auto choice = ChooseProgrammers(2, 2, kFamilyTransmitter);
  EXPECT_EQ(choice.flash, ImageName::ProgrammerA);
  EXPECT_EQ(choice.strings, ImageName::StringsProgrammerA);
  choice = ChooseProgrammers(2, 3, kFamilyDisplay);
  EXPECT_EQ(choice.flash, ImageName::ProgrammerB);
  EXPECT_FALSE(choice.strings);
  EXPECT_EQ(ChooseProgrammers(3, 3, kFamilyDisplay).flash, ImageName::ProgrammerC);
  EXPECT_EQ(ChooseProgrammers(5, 3, kFamilyTransmitter).flash, ImageName::ProgrammerD);
  EXPECT_FALSE(ChooseProgrammers(5, 3, kFamilyTransmitter).strings);
  EXPECT_EQ(ChooseProgrammers(3, 2, kFamilyDisplay).verdict, ProgrammerVerdict::UnsupportedBootLoader);
  EXPECT_EQ(ChooseProgrammers(1, 3, kFamilyDisplay).verdict, ProgrammerVerdict::IncompatibleCpu);

  auto refusal = [](uint8_t mcu, uint8_t version) {
    Rig rig;
    rig.ctx.settings.yesToPrompts = true;
    rig.info.mcuType = mcu;
    rig.info.bootVersion = version;
    EXPECT_EQ(FatalStatus([&] { SelectProgrammers(rig.link, rig.info); }), 1);
    return rig.Out();
  };
  EXPECT_NE(refusal(2, 4).find("Fatal Error: CorvUpdater cannot update this unit: unsupported boot loader version"),
            std::string::npos);
  EXPECT_NE(refusal(1, 3).find("Fatal Error: CorvUpdater cannot update this unit: the software is not compatible "
                               "with this CPU type"),
            std::string::npos);

  {
    SCOPED_TRACE("-o selects overlapped mode, unless a missing CTS switched it off earlier");
    Rig rig;
    rig.ctx.settings.overlappedRequested = true;
    rig.info.mcuType = 3;
    rig.info.bootVersion = 3;
    SelectProgrammers(rig.link, rig.info);
    EXPECT_TRUE(rig.info.overlapped);
    rig.info.overlappedLatchedOff = true;  // overlapped is still true from the selection above
    SelectProgrammers(rig.link, rig.info);
    EXPECT_FALSE(rig.info.overlapped);
  }

  {
    SCOPED_TRACE("programmer B on MCU type 2: the flash target");
    Rig rig;
    rig.ctx.settings.yesToPrompts = true;
    rig.info.flashProgrammer = ImageName::ProgrammerB;
    rig.info.mcuType = 2;
    EXPECT_TRUE(SelectFlashTarget(rig.link, rig.info));
    EXPECT_EQ(rig.info.pageSize, 128);
    EXPECT_TRUE(rig.info.oldFieldsInFlash);
    EXPECT_EQ(rig.info.bootLoaderImage, ImageName::BootLoaderMcu2);
    rig.info.mcuType = 5;
    EXPECT_TRUE(SelectFlashTarget(rig.link, rig.info));
    EXPECT_EQ(rig.info.pageSize, 256);
    EXPECT_FALSE(rig.info.oldFieldsInFlash);
    EXPECT_EQ(rig.info.bootLoaderImage, ImageName::BootLoaderMcu5);
    rig.info.mcuType = 7;
    EXPECT_FALSE(SelectFlashTarget(rig.link, rig.info));
    rig.info.mcuType = 3;
    rig.info.flashProgrammer.reset();
    EXPECT_FALSE(SelectFlashTarget(rig.link, rig.info));  // no programmer selected
    rig.info.mcuType = 1;
    EXPECT_EQ(FatalStatus([&] { SelectFlashTarget(rig.link, rig.info); }), 1);
    EXPECT_TRUE(rig.Has("Fatal Error: Unsupported unit"));
  }
  {
    SCOPED_TRACE("the old fields area of MCU type 2");
    Rig rig;
    rig.ctx.settings.yesToPrompts = true;
    rig.info.mcuType = 2;
    OldFieldsArea a = GetOldFieldsArea(rig.ctx, rig.info);
    EXPECT_EQ(a.first, 512u);
    EXPECT_EQ(a.last, 639u);
    EXPECT_EQ(a.length, 128u);
    rig.info.mcuType = 5;
    a = GetOldFieldsArea(rig.ctx, rig.info);
    EXPECT_EQ(a.first, 768u);
    EXPECT_EQ(a.last, 1023u);
    EXPECT_EQ(a.length, 256u);
    rig.info.mcuType = 4;
    EXPECT_EQ(FatalStatus([&] { GetOldFieldsArea(rig.ctx, rig.info); }), 1);
  }
}

}  // namespace
}  // namespace corv::test
