// The rate step-up, the programmer download block by block and overlapped,
// the read-back, and the commands around them.
#include <gtest/gtest.h>

#include "flash/boot_commands.h"
#include "flash/programmer_download.h"
#include "tests/flash/flash_rig.h"

namespace corv::test {
namespace {

struct StepUp {
  Rig rig;
  bool result = false;
  std::vector<int> indexes;
  StepUp(int32_t programmingRate, uint8_t mcu, int32_t refused = 0) {
    rig.BootLoaderUnit(mcu);
    rig.ctx.settings.programmingRate = programmingRate;
    if (refused) rig.driver.RefuseRate(3, refused);
    rig.Open(9600, false, Link::normalTimeoutMs);
    result = StepUpBaudRate(rig.link, rig.info);
    for (const Frame& f : rig.unit.Of(0x1090)) indexes.push_back(f.bytes[4]);
  }
};

TEST(StepUpBaudRate, ProgrammingRateTable) {
  {
    SCOPED_TRACE("no -r: 115200 all the same");
    StepUp s(0, 3);  // no -r: 115200 all the same
    EXPECT_TRUE(s.result);
    EXPECT_EQ(s.indexes, std::vector<int>{5});
    EXPECT_TRUE(s.rig.Has("Stepping up baud rate to 115200\n"));
    EXPECT_FALSE(s.rig.Has("specified"));
    EXPECT_EQ(s.rig.ctx.settings.baudRate, 115200);
    EXPECT_EQ(s.rig.link.timeoutMs, Link::longTimeoutMs);
    EXPECT_TRUE(s.rig.Has("OK - baud rate set\nbaud rate = 115200 (no parity) timeout=1000ms\n"));
  }
  {
    SCOPED_TRACE("-r 57600 on MCU type 2");
    StepUp s(57600, 2);
    EXPECT_EQ(s.indexes, std::vector<int>{4});
    EXPECT_TRUE(s.rig.Has("Programmer baud rate 57600 specified\nStepping up baud rate to 57600\n"));
    EXPECT_EQ(s.rig.ctx.settings.baudRate, 57600);
  }
  {
    SCOPED_TRACE("-r 230400 on MCU type 2: its programmers stop at 115200");
    StepUp s(230400, 2);  // MCU type 2 programmers stop at 115200
    EXPECT_EQ(s.indexes, std::vector<int>{5});
    EXPECT_FALSE(s.rig.Has("high speed"));
    EXPECT_FALSE(s.rig.Has("Unknown"));
    EXPECT_TRUE(s.rig.Has("Programmer baud rate 115200 specified\n"));
  }
  {
    SCOPED_TRACE("-r 921600 on MCU type 3: the high speed rate");
    StepUp s(921600, 3);
    EXPECT_EQ(s.indexes, std::vector<int>{9});
    EXPECT_TRUE(s.rig.Has("Using high speed baud rate = 921600\nProgrammer baud rate 921600 specified\n"));
    EXPECT_EQ(s.rig.ctx.settings.baudRate, 921600);
  }
  {
    SCOPED_TRACE("-r 100000: an unknown rate, 115200 used");
    StepUp s(100000, 3);
    EXPECT_EQ(s.indexes, std::vector<int>{5});
    EXPECT_TRUE(s.rig.Has("Unknown baudrate: 100000\n"
                          "Available baudrates are: 9600 19200 38400 57600 115200 128000 230400 460800 921600\n"
                          "Using 115200\nStepping up baud rate to 115200\n"));
  }
  {
    SCOPED_TRACE("-r 921600 on an adapter that cannot make the rate");
    StepUp s(921600, 3, 921600);  // an adapter that cannot make the rate
    EXPECT_TRUE(s.result);
    EXPECT_EQ(s.indexes, std::vector<int>{5});
    EXPECT_TRUE(s.rig.Has("COM3 does not suppport 921600, falling back to standard speed: baud rate = 115200\n"));
    EXPECT_EQ(s.rig.ctx.settings.baudRate, 115200);
  }
}

TEST(StepUpBaudRate, TriesTheLinesInTurnAndGivesUp) {
  {
    // A programmer that only hears 115200: the starting line and the new rate
    // go unanswered first.
    Rig rig;
    rig.BootLoaderUnit(3);
    rig.ctx.settings.programmingRate = 921600;
    rig.unit.intercept = [](const Frame& f) { return f.Code() == 0x1090 && f.baud != 115200; };
    rig.Open(921600, false, Link::normalTimeoutMs);
    rig.link.ReopenPort(9600, false, Link::normalTimeoutMs);
    ASSERT_TRUE(StepUpBaudRate(rig.link, rig.info));
    std::vector<int32_t> rates;
    for (const Frame& f : rig.unit.Of(0x1090)) rates.push_back(f.baud);
    EXPECT_EQ(rates, (std::vector<int32_t>{9600, 921600, 115200}));
    EXPECT_EQ(rig.ctx.settings.baudRate, 921600);
  }
  {
    Rig rig;
    rig.BootLoaderUnit(3);
    rig.unit.intercept = [](const Frame&) { return true; };
    rig.Open(9600, false, Link::normalTimeoutMs);
    EXPECT_FALSE(StepUpBaudRate(rig.link, rig.info));
    EXPECT_EQ(rig.unit.count[0x1090], 200);
  }
}

TEST(BootCommands, ResetsAndTheUnusedCommands) {
  {
    SCOPED_TRACE("two resets lost, then the unit resets");
    Rig rig;
    rig.BootLoaderUnit(3);
    rig.Open(115200);
    rig.info.overlapped = true;
    rig.link.hardwareHandshaking = true;
    rig.unit.intercept = [&rig](const Frame& f) {
      return f.Code() == 0x1032 && rig.unit.count[0x1032] < 3;  // two resets lost
    };
    ASSERT_TRUE(ResetUnit(rig.link, rig.info));
    EXPECT_EQ(rig.unit.count[0x1032], 3);
    EXPECT_EQ(rig.link.softwareMode, modeUnknown);
    EXPECT_FALSE(rig.link.hardwareHandshaking);
    EXPECT_TRUE(rig.Has("Sending reset command to unit\nOK - reset command sent\nHardware handshaking disabled\n"
                        "baud rate = 115200 (no parity) timeout=1000ms\n"));
  }
  {
    SCOPED_TRACE("no reset ever answered: 20 attempts, then failure");
    Rig rig;
    rig.BootLoaderUnit(3);
    rig.unit.intercept = [](const Frame& f) { return f.Code() == 0x1032; };
    rig.Open(115200);
    EXPECT_FALSE(ResetUnit(rig.link, rig.info));
    EXPECT_EQ(rig.unit.count[0x1032], 20);
    EXPECT_EQ(rig.link.softwareMode, modeCorvantaBootLoader);
  }
  {
    SCOPED_TRACE("The programmers of MCU types 3 and 5 restart at their start rate");
    Rig rig;
    rig.BootLoaderUnit(3);
    rig.Open(115200);
    ASSERT_TRUE(ResetProgrammer(rig.link, rig.info));
    EXPECT_TRUE(rig.Has("Sending reset programmer command to unit\nOK - reset programmer command sent\n"
                        "Stepping up baud rate to 115200\n"));
    EXPECT_EQ(rig.unit.count[0x1090], 1);
    rig.info.mcuType = 2;
    ASSERT_TRUE(ResetProgrammer(rig.link, rig.info));
    EXPECT_EQ(rig.unit.count[0x1090], 1);
  }
  {
    SCOPED_TRACE("the unused commands");
    Rig rig;
    rig.BootLoaderUnit(3);
    rig.unit.intercept = [&rig](const Frame& f) {
      if (f.Code() != 0x1091 && f.Code() != 0x1034) return false;
      if (f.Code() == 0x1034) {
        EXPECT_EQ(std::string(f.bytes.begin() + 4, f.bytes.end()), "erase");
      }
      std::vector<uint8_t> r(f.bytes.begin(), f.bytes.begin() + 4);
      if (f.Code() == 0x1091 && rig.info.bootRelease == 10) Put16(r, 512);
      rig.unit.Reply(f, r);
      return true;
    };
    rig.Open(115200);
    EXPECT_EQ(GetBufferSize(rig.link, rig.info), 128);  // a boot loader of release 9
    EXPECT_EQ(rig.unit.count[0x1091], 0);
    rig.info.bootRelease = 10;
    EXPECT_EQ(GetBufferSize(rig.link, rig.info), 512);
    EXPECT_TRUE(rig.Has("Sending get buffer size command to unit\nOK - got buffer size: 512\n"));
    rig.info.mcuType = 2;
    EXPECT_EQ(GetBufferSize(rig.link, rig.info), 128);
    EXPECT_FALSE(ClearChip(rig.link, rig.info));
    EXPECT_TRUE(rig.Has("Only supported on LPC chips\n"));
    rig.info.mcuType = 5;
    EXPECT_TRUE(ClearChip(rig.link, rig.info));
    EXPECT_TRUE(rig.Has("Sending clear chip command to unit\nOK - clear chip command sent\n"));
    rig.info.bootRelease = 9;
    EXPECT_TRUE(ExternalMemoryStart(rig.link));
    EXPECT_TRUE(rig.Has("Sending external memory start command to unit\nOK - command sent\n"));
  }
}

// Three records of a programmer: 128, 128 and 40 bytes.
TestImage Programmer() {
  TestImage im(0x40000200, 296);
  im.Record(0x40000000, 128, 1).Record(0x40000080, 128, 2).Record(0x40000200, 40, 3);
  return im;
}

bool RamHolds(const ScriptedUnit& unit, const TestImage& im) {
  ImageStream s(im.bytes.data(), im.bytes.size());
  s.ReadStartAddress();
  s.ReadTotalLength();
  ImageRecord r;
  while (s.NextRecord(r)) {
    for (uint32_t i = 0; i < r.length; ++i) {
      auto it = unit.ram.find(r.address + i);
      if (it == unit.ram.end() || it->second != r.data[i]) return false;
    }
  }
  return true;
}

TEST(ProgrammerDownload, BlockByBlockWithReadBack) {
  {
    SCOPED_TRACE("block by block at 9600 without read-back");
    Rig rig;
    rig.BootLoaderUnit(3);
    rig.Open(9600, false, Link::normalTimeoutMs);
    TestImage im = Programmer();
    ASSERT_TRUE(DownloadProgrammer(rig.link, rig.info, im.Stream()));
    EXPECT_TRUE(RamHolds(rig.unit, im));
    EXPECT_EQ(rig.unit.count[0x1020], 3);
    EXPECT_EQ(rig.unit.count[0x1021], 0);  // no -v
    ASSERT_EQ(rig.unit.count[0x1022], 1);
    EXPECT_EQ(rig.unit.Of(0x1022)[0].At(4, 4), 0x40000200u);
    EXPECT_EQ(rig.unit.count[0x1090], 2);  // before the download and after the start
    EXPECT_EQ(rig.link.softwareMode, modeFlashProgrammer);
    EXPECT_TRUE(rig.ctx.settings.traceEnabled);
    // 139 + 139 + 51 bytes of write-RAM frames; 60 dots for the 296 bytes.
    EXPECT_TRUE(rig.Has("Downloading programmer...\nDownloading to RAM\n"));
    EXPECT_TRUE(rig.Has(std::string(60, '.') + "\nBytes sent = 329 : Time = "));
    EXPECT_TRUE(rig.Has("OK - downloaded programmer\nTransferring to RAM program at $40000200\n"
                        "OK - transferred to RAM program\n"));
  }
  {
    SCOPED_TRACE("-v: each record read back; one damaged byte on the way costs a retry");
    Rig rig;
    rig.BootLoaderUnit(3);
    rig.ctx.settings.verifyOn = true;
    bool damaged = false;
    rig.unit.intercept = [&](const Frame& f) {
      if (f.Code() != 0x1021 || damaged) return false;
      damaged = true;
      std::vector<uint8_t> r(f.bytes.begin(), f.bytes.begin() + 9);
      for (uint32_t i = 0; i < f.At(8, 1); ++i) r.push_back(rig.unit.ram[f.At(4, 4) + i]);
      r[9 + 2] ^= 0xFF;
      rig.unit.Reply(f, r);
      return true;
    };
    rig.Open(9600, false, Link::normalTimeoutMs);
    TestImage im = Programmer();
    ASSERT_TRUE(DownloadProgrammer(rig.link, rig.info, im.Stream()));
    EXPECT_EQ(rig.unit.count[0x1021], 4);
    const uint8_t good = static_cast<uint8_t>(1 + 2 * 7);
    char expect[96];
    std::snprintf(expect, sizeof expect, "Examine returned different data at 40000002 got %02X instead of %02X\n",
                  good ^ 0xFF, good);
    EXPECT_TRUE(rig.Has(expect));
    EXPECT_EQ(rig.CountOf("Verify error\n"), 1u);
    EXPECT_TRUE(rig.Has("Verifying programmer...\n"));
    EXPECT_TRUE(rig.Has("\nBytes received = "));
    EXPECT_TRUE(rig.Has("OK - checked RAM program\n"));
  }
  {
    SCOPED_TRACE("A boot loader of version 1 cannot read its RAM back");
    Rig rig;
    rig.BootLoaderUnit(2, 1);
    rig.ctx.settings.verifyOn = true;
    rig.Open(9600, false, Link::normalTimeoutMs);
    TestImage im = Programmer();
    ASSERT_TRUE(DownloadProgrammer(rig.link, rig.info, im.Stream()));
    EXPECT_EQ(rig.unit.count[0x1021], 0);
    EXPECT_FALSE(rig.Has("Verifying"));
    EXPECT_EQ(rig.unit.count[0x1090], 1);  // MCU type 2: no second step-up
  }
  {
    SCOPED_TRACE("An image that ends before its first record");
    Rig rig;
    rig.BootLoaderUnit(3);
    rig.Open(9600, false, Link::normalTimeoutMs);
    TestImage im(0x10002305, 0);
    ASSERT_TRUE(DownloadProgrammer(rig.link, rig.info, im.Stream()));
    EXPECT_EQ(rig.unit.count[0x1020], 0);
    EXPECT_TRUE(rig.Has("Bytes sent = 0 : Time = "));
    ASSERT_EQ(rig.unit.count[0x1022], 1);
    EXPECT_EQ(rig.unit.Of(0x1022)[0].At(4, 4), 0x10002305u);
  }
  {
    SCOPED_TRACE("A block that is never answered ends the download with failure");
    Rig rig;
    rig.BootLoaderUnit(3);
    rig.unit.intercept = [](const Frame& f) { return f.Code() == 0x1020 && f.At(4, 4) == 0x40000080; };
    rig.Open(9600, false, Link::normalTimeoutMs);
    TestImage im = Programmer();
    EXPECT_FALSE(DownloadProgrammer(rig.link, rig.info, im.Stream()));
    EXPECT_EQ(rig.unit.count[0x1020], 21);
    EXPECT_EQ(rig.unit.count[0x1022], 0);
    EXPECT_NE(rig.Out().find(std::string(20, '!')), std::string::npos);
  }
}

TEST(ProgrammerDownload, Overlapped) {
  {
    // The reply for the first block comes after the one for the second: the
    // later one marks its block and costs one attempt.
    SCOPED_TRACE("The reply for the first block comes after the one for the second");
    Rig rig;
    rig.BootLoaderUnit(3);
    rig.info.overlapped = true;
    rig.line.SetCts(true);
    Frame held;
    rig.unit.intercept = [&](const Frame& f) {
      if (f.Code() != 0x1020) return false;
      const uint32_t a = f.At(4, 4);
      for (uint32_t i = 0; i < f.At(8, 1); ++i) rig.unit.ram[a + i] = f.bytes[9 + i];
      if (a == 0x40000000) {
        held = f;
        return true;
      }
      rig.unit.Echo(f, 9);
      if (a == 0x40000080) rig.unit.Reply(f, std::vector<uint8_t>(held.bytes.begin(), held.bytes.begin() + 9), 500);
      return true;
    };
    rig.Open(9600, false, Link::normalTimeoutMs);
    TestImage im = Programmer();
    ASSERT_TRUE(DownloadProgrammer(rig.link, rig.info, im.Stream()));
    EXPECT_TRUE(RamHolds(rig.unit, im));
    EXPECT_EQ(rig.unit.count[0x1020], 3);  // nothing sent twice
    EXPECT_EQ(rig.CountOf("!"), 1u);
    EXPECT_TRUE(rig.Has("Using overlapped (duplex) comms\nHardware handshaking enabled\n"));
    EXPECT_TRUE(rig.link.hardwareHandshaking);
    EXPECT_TRUE(rig.info.overlapped);
  }
  {
    SCOPED_TRACE("An unanswered block in flight is sent again from the head");
    Rig rig;
    rig.BootLoaderUnit(3);
    rig.info.overlapped = true;
    rig.line.SetCts(true);
    int firstSeen = 0;
    rig.unit.intercept = [&](const Frame& f) { return f.Code() == 0x1020 && f.At(4, 4) == 0x40000000 && firstSeen++ == 0; };
    rig.Open(9600, false, Link::normalTimeoutMs);
    TestImage im = Programmer();
    ASSERT_TRUE(DownloadProgrammer(rig.link, rig.info, im.Stream()));
    EXPECT_TRUE(RamHolds(rig.unit, im));
    EXPECT_EQ(rig.unit.count[0x1020], 4);
  }
  {
    SCOPED_TRACE("No CTS: overlapped mode goes off for the rest of the run");
    Rig rig;
    rig.BootLoaderUnit(3);
    rig.info.overlapped = true;
    rig.ctx.settings.overlappedRequested = true;
    rig.Open(9600, false, Link::normalTimeoutMs);
    const uint32_t start = rig.clock.TickMs();
    TestImage im = Programmer();
    ASSERT_TRUE(DownloadProgrammer(rig.link, rig.info, im.Stream()));
    EXPECT_GE(rig.clock.TickMs() - start, 1000u);
    EXPECT_TRUE(rig.Has("-- no CTS signal received from unit, overlapped mode turned off\n"));
    EXPECT_FALSE(rig.info.overlapped);
    EXPECT_TRUE(rig.info.overlappedLatchedOff);
    EXPECT_FALSE(rig.link.hardwareHandshaking);
    EXPECT_TRUE(RamHolds(rig.unit, im));
  }
  for (const auto& [mcu, window] : {std::pair<uint8_t, size_t>{3, 8}, {5, 8}, {2, 1}}) {
    // The blocks in flight at most: those sent before the first goes out
    // again, when the unit answers none.
    SCOPED_TRACE("the window of MCU type " + std::to_string(mcu));
    Rig rig;
    rig.BootLoaderUnit(mcu);
    rig.info.overlapped = true;
    rig.line.SetCts(true);
    rig.unit.intercept = [](const Frame& f) { return f.Code() == 0x1020; };
    rig.Open(9600, false, Link::normalTimeoutMs);
    TestImage im(0x40000000, 10 * 128);
    for (uint32_t i = 0; i < 10; ++i) im.Record(0x40000000 + 128 * i, 128, static_cast<uint8_t>(i));
    testing::StatusOf([&] { DownloadProgrammer(rig.link, rig.info, im.Stream()); });
    const std::vector<Frame> sent = rig.unit.Of(0x1020);
    ASSERT_GT(sent.size(), window);
    for (size_t i = 0; i <= window; ++i) EXPECT_EQ(sent[i].At(4, 4), 0x40000000 + 128 * (i % window)) << i;
  }
  {
    SCOPED_TRACE("MCU type 2: window 1, and the CTS wait comes once the programmer runs");
    Rig rig;
    rig.BootLoaderUnit(2);
    rig.info.overlapped = true;
    rig.unit.intercept = [&](const Frame& f) {
      if (f.Code() == 0x1022) rig.line.SetCts(true);
      if (f.Code() == 0x1020) {
        EXPECT_FALSE(rig.link.hardwareHandshaking);
      }
      return false;
    };
    rig.Open(9600, false, Link::normalTimeoutMs);
    TestImage im = Programmer();
    ASSERT_TRUE(DownloadProgrammer(rig.link, rig.info, im.Stream()));
    EXPECT_TRUE(RamHolds(rig.unit, im));
    EXPECT_TRUE(rig.Has("OK - transferred to RAM program\nUsing overlapped (duplex) comms\n"));
    EXPECT_TRUE(rig.link.hardwareHandshaking);
  }
}

}  // namespace
}  // namespace corv::test
