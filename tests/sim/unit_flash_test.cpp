// Flash passes and what they leave in the unit; the old-fields area and the
// manufacturing-fields commands.
#include <gtest/gtest.h>

#include "payloads/catalogue.h"
#include "sim/unit_data.h"
#include "tests/sim/bench.h"

namespace corv::sim::test {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes ShortWrite(uint32_t address, const uint8_t* data, size_t n) {
  Bytes w = Cmd(1, 0x1030);
  Put32(w, address);
  Put8(w, static_cast<uint32_t>(n));
  w.insert(w.end(), data, data + n);
  return w;
}

Bytes SequencedWrite(uint16_t seq, uint32_t address, const uint8_t* data, size_t n) {
  Bytes w = Cmd(1, 0x1031);
  Put16(w, seq);
  Put32(w, address);
  Put8(w, static_cast<uint32_t>(n));
  w.insert(w.end(), data, data + n);
  return w;
}

// Writes every record of an image block by block; false on the first block
// whose reply is missing or not result 0.
bool WriteImage(Bench& b, ImageName name) {
  ImageStream s = OpenImage(name);
  s.ReadStartAddress();
  s.ReadTotalLength();
  ImageRecord r;
  while (s.NextRecord(r)) {
    const Bytes reply = b.Ask(ShortWrite(r.address, r.data, r.length));
    if (reply.size() != 10 || reply[9] != 0 || Get32(reply, 4) != r.address) return false;
  }
  return true;
}

Bytes ReadOld(Bench& b, uint32_t address) {
  Bytes q = Cmd(1, 0x1051);
  Put32(q, address);
  Put8(q, 128);
  Bytes r = b.Ask(q);
  return r.size() == 137 ? Bytes(r.begin() + 9, r.end()) : Bytes{};
}

TEST(UnitFlash, SoftwarePassLeavesThePayloadChecksumAndVersion510) {
  UnitProfile p = DefaultProfile();
  p.bootFlags = 0x06;  // flash test failed before
  Bench b(p);
  StartProgrammer(b);
  ASSERT_TRUE(WriteImage(b, ImageName::DisplaySoftwareMcu3));
  EXPECT_EQ(b.unit.Checksum(), 0x1A2B3C4Du) << "the pass has not ended yet";
  EXPECT_EQ(b.Ask(Cmd(1, 0x1033)).size(), 4u);
  EXPECT_EQ(b.unit.Checksum(), 0xCFD9091Fu);
  EXPECT_EQ(b.unit.Version(), 510);
  EXPECT_EQ(b.unit.Flags(), 0x02) << "bits 0 and 2 clear, the rest kept";
  EXPECT_EQ(b.unit.Counters().passes, 1u);

  // A reset programmer with no block written in between changes nothing.
  EXPECT_EQ(b.Ask(Cmd(1, 0x1033)).size(), 4u);
  EXPECT_EQ(b.unit.Counters().passes, 1u);

  // Reset unit: the new software starts and says so.
  EXPECT_EQ(b.Ask(Cmd(1, 0x1032)).size(), 4u);
  b.Wait(p.resetUs + p.bootWindowUs + 1000);
  const Bytes v = b.Ask(Cmd(240, 0x1010));
  ASSERT_EQ(v.size(), 12u);
  EXPECT_EQ((v[8] << 8) | v[9], 510);
}

TEST(UnitFlash, BootLoaderPassRaisesTheReleaseAndOtherPassesLeaveNoSoftware) {
  UnitProfile p = DefaultProfile();
  p.bootRelease = 7;
  Bench b(p);
  StartProgrammer(b);
  // Sequenced writes: a block after a lost one is not taken; the resend is.
  ImageStream s = OpenImage(ImageName::BootLoaderMcu3);
  s.ReadStartAddress();
  s.ReadTotalLength();
  std::vector<ImageRecord> records;
  for (ImageRecord r; s.NextRecord(r);) records.push_back(r);
  for (uint16_t i = 0; i < records.size(); ++i) {
    if (i == 5) {
      EXPECT_TRUE(b.Ask(SequencedWrite(6, records[6].address, records[6].data, 128)).empty()) << "out of order";
    }
    const Bytes r = b.Ask(SequencedWrite(i, records[i].address, records[i].data, 128));
    ASSERT_EQ(r.size(), 12u);
    EXPECT_EQ((r[4] << 8) | r[5], i);
    EXPECT_EQ(r[11], 0);
  }
  // A repeated block replaces itself.
  EXPECT_EQ(b.Ask(SequencedWrite(3, records[3].address, records[3].data, 128)).size(), 12u);
  EXPECT_EQ(b.Ask(Cmd(1, 0x1033)).size(), 4u);
  EXPECT_EQ(b.unit.Release(), 9);
  EXPECT_EQ(b.unit.Checksum(), 0x1A2B3C4Du) << "the software is untouched";
  EXPECT_EQ(b.unit.Version(), 490);

  // A pass of anything else is software that does not run.
  const uint8_t junk[128] = {1, 2, 3};
  EXPECT_EQ(b.Ask(ShortWrite(0x4000, junk, 128)).size(), 10u);
  EXPECT_EQ(b.Ask(Cmd(1, 0x1033)).size(), 4u);
  EXPECT_TRUE(b.unit.Flags() & 1);
  EXPECT_EQ(b.unit.Version(), 0);
  EXPECT_EQ(b.Ask(Cmd(1, 0x1032)).size(), 4u);
  b.Wait(5 * p.bootWindowUs);
  EXPECT_EQ(b.unit.Mode(), UnitMode::BootLoader) << "only its boot loader answers";
  EXPECT_EQ(b.Ask(Cmd(1, 0x1010))[9], 0) << "no software version";
}

TEST(UnitFlash, PassCutOffByPowerCycleLeavesNoWorkingSoftware) {
  Bench b(DefaultProfile());
  StartProgrammer(b);
  const uint8_t block[128] = {};
  EXPECT_EQ(b.Ask(ShortWrite(0x4000, block, 128)).size(), 10u);
  b.unit.PowerCycle(b.now);
  b.Wait(10 * b.unit.Profile().bootWindowUs);
  EXPECT_EQ(b.unit.Mode(), UnitMode::BootLoader);
  EXPECT_TRUE(b.unit.Flags() & 1);
  EXPECT_EQ(b.unit.Counters().cutPasses, 1u);

  // A power cycle with no block written leaves the software as it was.
  Bench quiet(DefaultProfile());
  StartProgrammer(quiet);
  quiet.unit.PowerCycle(quiet.now);
  quiet.Wait(10 * quiet.unit.Profile().bootWindowUs);
  EXPECT_EQ(quiet.unit.Mode(), UnitMode::Software);
  EXPECT_EQ(quiet.unit.Version(), 490);
}

TEST(UnitFlash, OldFieldsOnMcu2AreErasedByAWriteAtZeroAndRestoredByWriteOldFields) {
  Bench b(DisplayMcu2Profile());
  StartProgrammer(b, 0x40000200);
  const Bytes before = ReadOld(b, 512);
  ASSERT_EQ(before.size(), 128u);
  EXPECT_EQ(Bytes(before.begin(), before.begin() + 40), MakeFieldsRecord(12345));
  EXPECT_EQ(b.unit.Serial(), 12345u);

  ASSERT_TRUE(WriteImage(b, ImageName::DisplaySoftwareMcu2));
  EXPECT_EQ(b.unit.Serial(), 0u) << "the write at 0 erased the area";
  EXPECT_EQ(ReadOld(b, 512), Bytes(128, 0xFF));

  Bytes back = Cmd(1, 0x1050);
  Put32(back, 512);
  Put8(back, 128);
  back.insert(back.end(), before.begin(), before.end());
  EXPECT_EQ(b.Ask(back), (Bytes{1, 0x45, 0x10, 0x50, 0, 0, 2, 0, 0x80, 0}));
  EXPECT_EQ(b.unit.Serial(), 12345u);
  EXPECT_EQ(b.Ask(Cmd(1, 0x1033)).size(), 4u);
  EXPECT_EQ(b.unit.Checksum(), 0x776A4F32u) << "the area is not part of the image";

  Bytes preserve = Cmd(1, 0x1053);
  Put32(preserve, 12345);
  EXPECT_EQ(b.Ask(preserve).back(), 0);

  // MCU type 3 keeps its fields apart: the software pass leaves them.
  Bench b3(DefaultProfile());
  StartProgrammer(b3);
  ASSERT_TRUE(WriteImage(b3, ImageName::BootLoaderMcu3));
  EXPECT_EQ(b3.unit.Serial(), 12345u);
}

TEST(UnitFlash, ManufacturingFieldsUpdateAndPreserve) {
  UnitProfile p = DisplayMcu2Profile();
  p.serial = 0;
  Bench b(p);
  StartProgrammer(b);
  Bytes preserve = Cmd(1, 0x1053);
  Put32(preserve, 0);
  EXPECT_EQ(b.Ask(preserve).back(), 3) << "nothing sound to keep";

  Bytes update = Cmd(1, 0x1052);
  const Bytes fresh = MakeFieldsRecord(55555);
  update.insert(update.end(), fresh.begin(), fresh.end());
  EXPECT_EQ(b.Ask(update), (Bytes{1, 0x45, 0x10, 0x52, 0}));
  EXPECT_EQ(b.unit.Serial(), 55555u);
  EXPECT_EQ(b.Ask(preserve).back(), 0);

  update[20] ^= 0x40;  // a key byte no longer matches its check value
  EXPECT_EQ(b.Ask(update).back(), 3);
  EXPECT_EQ(b.unit.Fields(), fresh);

  p.fieldsUpdate = 1;
  p.fieldsPreserve = 2;
  Bench forced(p);
  StartProgrammer(forced);
  update[20] ^= 0x40;
  EXPECT_EQ(forced.Ask(update).back(), 1);
  EXPECT_EQ(forced.unit.Serial(), 0u) << "a refused update stores nothing";
  EXPECT_EQ(forced.Ask(preserve).back(), 2);
}

TEST(UnitFlash, FaultsInTheMiddleOfAPass) {
  UnitProfile p = DefaultProfile();
  Bench silent(p);
  silent.unit.faults.silentAfterBlocks = 2;
  StartProgrammer(silent);
  const uint8_t block[128] = {};
  EXPECT_EQ(silent.Ask(ShortWrite(0x4000, block, 128)).size(), 10u);
  EXPECT_EQ(silent.Ask(ShortWrite(0x4080, block, 128)).size(), 10u);
  EXPECT_TRUE(silent.Ask(ShortWrite(0x4100, block, 128)).empty());
  EXPECT_TRUE(silent.Ask(Cmd(1, 0x1033)).empty());
  EXPECT_EQ(silent.unit.Mode(), UnitMode::Hung);

  Bench reset(p);
  reset.unit.faults.resetAfterBlocks = 2;
  StartProgrammer(reset);
  EXPECT_EQ(reset.Ask(ShortWrite(0x4000, block, 128)).size(), 10u);
  EXPECT_TRUE(reset.Ask(ShortWrite(0x4080, block, 128)).empty());
  EXPECT_EQ(reset.wire.flushes, 1);
  reset.Wait(10 * p.bootWindowUs);
  EXPECT_EQ(reset.unit.Mode(), UnitMode::BootLoader);
  EXPECT_TRUE(reset.unit.Flags() & 1);

  Bench failing(p);
  failing.unit.faults.flashBlockResult[2] = 0x44;
  StartProgrammer(failing);
  EXPECT_EQ(failing.Ask(ShortWrite(0x4000, block, 128)).back(), 0);
  EXPECT_EQ(failing.Ask(ShortWrite(0x4080, block, 128)).back(), 0x44);
}

}  // namespace
}  // namespace corv::sim::test
