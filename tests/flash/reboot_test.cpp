// The reset loop into the boot loader: the try and pass tables, giving up in
// the first pass, the cost of a boot loader that never answers, and the
// records read once it does.
#include <gtest/gtest.h>

#include "flash/reboot.h"
#include "tests/flash/flash_rig.h"

namespace corv::test {
namespace {

// A link that last heard the unit at 57600 with parity, now at 4800.
void OpenAwayFromRemembered(Rig& rig) {
  rig.Open(57600, true, Link::shortTimeoutMs);
  ASSERT_EQ(rig.link.rateIndex, 1);
  ASSERT_TRUE(rig.link.ReopenPort(4800, false, Link::shortTimeoutMs));
  rig.link.unitId = 240;
}

TEST(ResetLoop, GivesUpAfter200TriesInItsFirstPass) {
  Rig rig;
  rig.line.Attach(&rig.unit);
  rig.unit.intercept = [](const Frame&) { return true; };  // nothing answers
  OpenAwayFromRemembered(rig);
  const uint32_t start = rig.clock.TickMs();
  EXPECT_FALSE(RebootToBootLoader(rig.link, rig.info, false));
  EXPECT_EQ(rig.CountOf("Sending reset command\n"), 1u);
  EXPECT_FALSE(rig.Has("OK - unit reset"));
  const auto resets = rig.unit.Of(0x1011);
  ASSERT_EQ(resets.size(), 200u);
  EXPECT_EQ(rig.unit.frames.size(), 200u);  // no boot-loader request at all
  const int32_t rates[10] = {4800, 4800, 57600, 9600, 115200, 19200, 115200, 9600, 38400, 57600};
  const uint8_t addresses[10] = {240, 1, 240, 1, 1, 240, 240, 240, 240, 240};
  for (size_t t = 0; t < 20; ++t) {
    EXPECT_EQ(resets[t].baud, rates[t % 10]) << t;
    EXPECT_EQ(resets[t].bytes[0], addresses[t % 10]) << t;
  }
  EXPECT_GE(rig.clock.TickMs() - start, 200u * 50);
  EXPECT_EQ(rig.link.rateIndex, 1);  // the loop does not move the remembered rate
  EXPECT_EQ(rig.link.softwareMode, modeUnknown);
}

TEST(ResetLoop, SilentBootLoaderCostsFortyPasses) {
  for (bool prefer : {false, true}) {
    Rig rig;
    rig.line.Attach(&rig.unit);
    rig.unit.intercept = [&rig](const Frame& f) {
      if (f.Code() == 0x1011) rig.unit.Default(f);
      return true;
    };
    OpenAwayFromRemembered(rig);
    const uint32_t start = rig.clock.TickMs();
    EXPECT_FALSE(RebootToBootLoader(rig.link, rig.info, prefer));
    EXPECT_EQ(rig.CountOf("Sending reset command\n"), 40u);
    EXPECT_EQ(rig.CountOf("OK - unit reset\n"), 40u);
    EXPECT_EQ(rig.CountOf("Getting boot loader version\n"), 40u);
    EXPECT_EQ(rig.unit.count[0x1012], 40 * 8);
    EXPECT_EQ(rig.unit.count[0x1011], 40);  // every reset answered at once
    // The passes whose boot loader line is changed in place; the first six
    // passes look at the remembered rate instead when asked to.
    const size_t skip = prefer ? 1 : 0;
    EXPECT_EQ(rig.CountOf("baud rate = 9600 (no parity) (alternative baud rate setting)\n"), 7 - skip);
    EXPECT_EQ(rig.CountOf("baud rate = 115200 (no parity) (alternative baud rate setting)\n"), 7 - skip);
    EXPECT_EQ(rig.CountOf("baud rate = 4800 (alternative baud rate setting)\n"), 6 - skip);
    EXPECT_GE(rig.clock.TickMs() - start, 40u * 8 * 50);
    EXPECT_EQ(rig.link.softwareMode, modeUnknown);
  }
}

TEST(ResetLoop, OldBootLoaderWithoutReleaseRecord) {
  Rig rig;
  rig.line.Attach(&rig.unit);
  rig.unit.versionByte = 0x23;  // 0x1013 goes unanswered
  rig.info.cardFamily = 2;
  rig.info.checksum = 0x12345678;  // left from an earlier reboot
  rig.info.bootFlags = 0x81;
  rig.ctx.settings.overlappedRequested = true;
  rig.Open(19200);
  rig.link.unitId = 240;
  rig.link.hardwareHandshaking = true;
  rig.info.overlapped = true;
  ASSERT_TRUE(RebootToBootLoader(rig.link, rig.info, false));
  EXPECT_EQ(rig.link.softwareMode, modeCorvantaBootLoader);
  EXPECT_FALSE(rig.link.hardwareHandshaking);
  EXPECT_TRUE(rig.Has("Rebooting unit\nHardware handshaking disabled\nSending reset command\n"));
  EXPECT_EQ(rig.unit.count[0x1013], 2);
  EXPECT_EQ(rig.info.mcuType, 2);
  EXPECT_EQ(rig.info.bootVersion, 3);
  EXPECT_EQ(rig.info.bootRelease, 3);
  EXPECT_EQ(rig.info.checksum, 0u);
  EXPECT_EQ(rig.info.bootFlags, 0);
  EXPECT_EQ(rig.info.bootRecordByte, 0);
  EXPECT_TRUE(rig.Has("Getting boot loader release\n  Boot loader:  v3\n  MCU Type:     2\n"));
  EXPECT_FALSE(rig.Has("OK - got boot release"));
  EXPECT_FALSE(rig.Has("Checksum"));
  EXPECT_EQ(rig.info.flashProgrammer, ImageName::ProgrammerB);
  EXPECT_EQ(rig.info.stringsProgrammer, ImageName::StringsProgrammerB);
  EXPECT_TRUE(rig.info.overlapped);
  // Found in the first pass, at 9600 after a reopen, then 100 ms reads.
  EXPECT_EQ(rig.ctx.settings.baudRate, 9600);
  EXPECT_EQ(rig.link.timeoutMs, Link::normalTimeoutMs);
}

TEST(ResetLoop, ReleaseRecordRead) {
  Rig rig;
  rig.line.Attach(&rig.unit);
  rig.unit.intercept = [&rig](const Frame& f) {
    if (f.Code() != 0x1013) return false;
    EXPECT_EQ(f.bytes[4], 1);
    std::vector<uint8_t> r(f.bytes.begin(), f.bytes.begin() + 4);
    for (uint8_t b : {7, 3, 3, 9}) r.push_back(b);
    Put32(r, 0xCFD9091F);
    r.push_back(0x02);
    rig.unit.Reply(f, r);
    return true;
  };
  rig.Open(19200);
  rig.link.unitId = 240;
  ASSERT_TRUE(RebootToBootLoader(rig.link, rig.info, false));
  EXPECT_EQ(rig.info.bootRecordByte, 7);
  EXPECT_EQ(rig.info.checksum, 0xCFD9091Fu);
  EXPECT_TRUE(rig.Has("OK - got boot release\n  Boot loader:  v3 r9\n  MCU Type:     3\n  Checksum:     CFD9091F\n"));
  EXPECT_EQ(rig.info.flashProgrammer, ImageName::ProgrammerC);
  EXPECT_FALSE(rig.info.overlapped);
}

}  // namespace
}  // namespace corv::test
