// Manufacturing input from the parameter file, the check / update / preserve
// commands, and the old-fields copy across a software rewrite.
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "flash/flash_writer.h"
#include "sim/unit_data.h"
#include "tests/unitdata/unit_rig.h"
#include "unitdata/manufacturing_fields.h"
#include "unitdata/old_fields.h"

namespace corv::test {
namespace {

// A parameter file of its own for one test, in a folder removed afterwards.
struct ParameterFile {
  explicit ParameterFile(const std::string& lines) { testing::WriteFile(Path(), lines); }
  std::string Path() const { return dir / "job.ini"; }
  testing::TempDir dir{"corv-fields"};
};

const std::string kKeys64(64, 'A');

std::string Lines(const std::string& serialNo, const std::string& serialCrc, const std::string& keysCrc,
                  const std::string& serialLine) {
  return "CorvManufacture=1\r\nEncryptedSerialNo=" + serialNo + "\r\nEncryptedSerialNoCRC=" + serialCrc +
         "\r\nEncryptedSecretKeys=" + kKeys64 + "\r\nEncryptedSecretKeysCRC=" + keysCrc + "\r\n" + serialLine;
}

struct InputRun {
  int status = -1;
  ManufacturingInput input;
  std::string out;
};

InputRun ReadInput(const std::string& lines) {
  ParameterFile file(lines);
  testing::FakeRun fake;
  Context& ctx = fake.ctx;
  ctx.settings.parameterFile = file.Path();
  ctx.settings.manufacturingMode = true;
  InputRun run;
  try {
    run.input = ReadManufacturingInput(ctx);
  } catch (const RunExit& e) {
    run.status = e.status;
  }
  run.out = fake.console.Output();
  return run;
}

TEST(ManufacturingInput, HexFieldsFollowTheirOwnPairRule) {
  // Ten digits: the first eight are the four bytes, the rest is ignored.
  InputRun ok = ReadInput(Lines("12345678AB", "BEEF", "0G1F", "SerialNo=4711\r\n"));
  ASSERT_EQ(ok.status, -1) << ok.out;
  EXPECT_EQ(ok.input.record[0], 0x12);
  EXPECT_EQ(ok.input.record[3], 0x78);
  EXPECT_EQ(ok.input.record[4], 0xBE);
  EXPECT_EQ(ok.input.record[5], 0xEF);
  EXPECT_EQ(ok.input.record[6], 0xAA);
  // "0G" ends early at G and reads 0; "1F" is 0x1F; nothing is reported.
  EXPECT_EQ(ok.input.record[38], 0x00);
  EXPECT_EQ(ok.input.record[39], 0x1F);
  EXPECT_EQ(ok.input.serialNumber, 4711);
  EXPECT_NE(ok.out.find("SerialNo=4711\n"), std::string::npos);
  EXPECT_EQ(ok.out.find("error"), std::string::npos);

  // Seven digits are one short of four bytes.
  InputRun shortValue = ReadInput(Lines("1234567", "BEEF", "0000", "SerialNo=4711\r\n"));
  EXPECT_EQ(shortValue.status, 2);
  EXPECT_NE(shortValue.out.find("Fatal Error: Field error: EncryptedSerialNo\n"), std::string::npos);

  InputRun missing = ReadInput(Lines("12345678", "", "0000", "SerialNo=4711\r\n"));
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.out.find("Fatal Error: Missing EncryptedSerialNoCRC\n"), std::string::npos);
}

TEST(ManufacturingInput, SerialNumberZeroOrAbsentIsMissing) {
  for (const std::string& serialLine : {std::string("SerialNo=0\r\n"), std::string()}) {
    InputRun run = ReadInput(Lines("12345678", "BEEF", "0000", serialLine));
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.out.find("Fatal Error: Missing SerialNo\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("SerialNo="), std::string::npos);
  }
}

ManufacturingRecord RecordOf(uint32_t serial) {
  const std::vector<uint8_t> r = sim::MakeFieldsRecord(serial);
  ManufacturingRecord record{};
  std::copy(r.begin(), r.end(), record.begin());
  return record;
}

TEST(ManufacturingFields, ResultCodesAreReportedAndModesEnforced) {
  sim::UnitProfile profile = sim::DefaultProfile();
  profile.fieldsUpdate = 1;
  UnitRig rig(profile);
  rig.Connect();
  bool differs = true;
  ASSERT_TRUE(CheckManufacturingFields(*rig.link, RecordOf(12345), differs));
  EXPECT_FALSE(differs);
  EXPECT_TRUE(rig.Shows("-- manufacturing fields in unit are correct (no update needed)\n"));
  ASSERT_TRUE(CheckManufacturingFields(*rig.link, RecordOf(777), differs));
  EXPECT_TRUE(differs);
  EXPECT_TRUE(rig.Shows("-- manufacturing fields in unit are different (code=1)\n"));
  // Update needs the flash programmer.
  EXPECT_EQ(rig.ExitStatusOf([&] { UpdateManufacturingFields(*rig.link, RecordOf(777)); }), 1);
  EXPECT_TRUE(rig.Shows("Fatal Error: Flash programmer is not running in the unit, cannot perform this operation"));

  UnitRig prog(profile);
  prog.StartProgrammer();
  // Code 1: the main copy failed; reported, and the operation still succeeds.
  EXPECT_TRUE(UpdateManufacturingFields(*prog.link, RecordOf(777)));
  EXPECT_TRUE(prog.Shows("-- could not update manufacturing fields (main)\n"));
  EXPECT_TRUE(prog.Shows("OK - manufacturing fields have been updated\n"));
  EXPECT_TRUE(PreserveManufacturingFields(*prog.link, 12345));
  EXPECT_TRUE(prog.Shows("-- manufacturing fields are valid\n"));
  EXPECT_EQ(prog.ExitStatusOf([&] { CheckManufacturingFields(*prog.link, RecordOf(1), differs); }), 1);
  EXPECT_TRUE(prog.Shows("Fatal Error: Corvanta software is not running in the unit, cannot perform this operation"));
}

TEST(OldFields, NothingToCarryOnMcuType3) {
  UnitRig rig(sim::DefaultProfile());
  rig.StartProgrammer();
  ASSERT_FALSE(rig.info.oldFieldsInFlash);
  OldFieldsBuffer buffer;
  EXPECT_TRUE(ReadOldFields(*rig.link, rig.info, buffer));
  EXPECT_TRUE(WriteOldFields(*rig.link, rig.info, buffer));
  EXPECT_EQ(rig.Out(), "");
}

// Outside the flash programmer the copy stops the run with the mode message
// before it sends anything, in the boot loader and in the unit's software alike.
TEST(OldFields, NeedTheFlashProgrammer) {
  for (bool inBootLoader : {true, false}) {
    SCOPED_TRACE(inBootLoader ? "boot loader" : "software");
    for (bool reading : {true, false}) {
      UnitRig rig(sim::DisplayMcu2Profile());
      rig.Connect();
      if (inBootLoader) {
        ASSERT_TRUE(RebootToBootLoader(*rig.link, rig.info, false));
        SelectFlashTarget(*rig.link, rig.info);
      } else {
        rig.info.mcuType = 2;
        rig.info.oldFieldsInFlash = true;
      }
      ASSERT_TRUE(rig.info.oldFieldsInFlash);
      rig.console.ClearOutput();
      const uint32_t before = rig.clock.TickMs();
      OldFieldsBuffer buffer;
      const int status = rig.ExitStatusOf([&] {
        if (reading) {
          ReadOldFields(*rig.link, rig.info, buffer);
        } else {
          WriteOldFields(*rig.link, rig.info, buffer);
        }
      });
      EXPECT_EQ(status, 1) << rig.Out();
      EXPECT_TRUE(rig.Shows("Fatal Error: Flash programmer is not running in the unit, cannot perform this operation\n"))
          << rig.Out();
      EXPECT_FALSE(rig.Shows(" (128)")) << rig.Out();
      EXPECT_LT(rig.clock.TickMs() - before, 100u) << "requests went out";
    }
  }
}

TEST(OldFields, SerialNumberSurvivesASoftwareRewriteOnMcuType2) {
  for (bool withHook : {true, false}) {
    UnitRig rig(sim::DisplayMcu2Profile());
    rig.StartProgrammer();
    ASSERT_TRUE(rig.info.oldFieldsInFlash);
    OldFieldsBuffer buffer;
    ASSERT_TRUE(ReadOldFields(*rig.link, rig.info, buffer));
    EXPECT_TRUE(rig.Shows("Reading $00000200 (128)\n"));
    EXPECT_EQ(buffer.bytes.size(), 128u);
    FlashHook hook;
    if (withHook) hook = OldFieldsHook(*rig.link, rig.info, buffer);
    ASSERT_TRUE(WriteImage(*rig.link, rig.info, ImageName::DisplaySoftwareMcu2, hook));
    // Without the write-back the rewrite leaves the unit without its serial
    // number: that is what the hook is for.
    EXPECT_EQ(rig.unit.Model().Serial(), withHook ? 12345u : 0u);
    EXPECT_EQ(rig.Shows("Writing $00000200 (128)\n"), withHook);
    EXPECT_EQ(rig.Shows("OK - old fields have been written\n"), withHook);
  }
}

}  // namespace
}  // namespace corv::test
