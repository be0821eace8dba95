// The unit model's answers in each mode: the running software, the boot loader
// (with its start-up window) and the programmer started from RAM.
#include <gtest/gtest.h>

#include "sim/unit_data.h"
#include "tests/sim/bench.h"

namespace corv::sim::test {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(UnitSoftware, AnswersItsCommandsWithTheTableLengthsAtItsAddress) {
  UnitProfile p = DefaultProfile();
  p.pmoduleType = 2;
  p.pmoduleSerial = 777;
  p.info = "Line\r1\tA";
  Bench b(p);
  EXPECT_EQ(b.Ask({240, 0x41}), (Bytes{240, 0x42}));
  EXPECT_TRUE(b.Ask({7, 0x41}).empty()) << "another address";

  const Bytes v = b.Ask(Cmd(240, 0x1010));
  ASSERT_EQ(v.size(), 12u);
  EXPECT_EQ(v, (Bytes{240, 0x45, 0x10, 0x10, 0x02, 0x87, 0, 5, 0x01, 0xEA, 0, 150}));

  const Bytes x = b.Ask(Cmd(240, 0x1015));
  ASSERT_EQ(x.size(), 30u);
  EXPECT_EQ(x[4], 24) << "record length";
  EXPECT_EQ(x[5], 1) << "text flag";
  EXPECT_EQ(Get32(x, 12), 12345u) << "serial";
  EXPECT_EQ(x[16], 2) << "P-Module type";
  EXPECT_EQ(Get32(x, 17), 777u);
  EXPECT_EQ((Bytes(x.begin() + 23, x.begin() + 29)), (Bytes{19, 3, 14, 10, 30, 0}));
  EXPECT_EQ(x[29], 8) << "text length";
  const Bytes t = b.Ask(Cmd(240, 0x1016));
  EXPECT_EQ(std::string(t.begin() + 4, t.end()), "Line\r1\tA");

  Bytes check = Cmd(240, 0x1019);
  const Bytes own = MakeFieldsRecord(12345);
  check.insert(check.end(), own.begin(), own.end());
  EXPECT_EQ(b.Ask(check), (Bytes{240, 0x45, 0x10, 0x19, 0}));
  check[10] ^= 1;
  EXPECT_EQ(b.Ask(check).back(), 1) << "different fields";

  // Boot-loader and programmer commands are not the software's.
  EXPECT_TRUE(b.Ask(Cmd(240, 0x1012)).empty());
  EXPECT_TRUE(b.Ask(Cmd(1, 0x1012)).empty());
  Bytes write = Cmd(240, 0x1030);
  Put32(write, 0);
  Put8(write, 0);
  EXPECT_TRUE(b.Ask(write).empty());
}

TEST(UnitSoftware, OldSoftwareHasNoExtendedInformationAndNoTextMeansFlagZero) {
  UnitProfile p = DefaultProfile();
  p.version = 219;
  Bench old(p);
  EXPECT_TRUE(old.Ask(Cmd(240, 0x1015)).empty());
  p.version = 490;
  p.info.clear();
  p.address = 7;
  Bench quiet(p);
  const Bytes x = quiet.Ask(Cmd(7, 0x1015));
  ASSERT_EQ(x.size(), 30u);
  EXPECT_EQ(x[5], 0);
  EXPECT_EQ(x[29], 0);
}

TEST(UnitBootLoader, AnswersAtTheBootAddressAfterResetToBootLoader) {
  Bench b(DefaultProfile());
  ToBootLoader(b);
  EXPECT_EQ(b.wire.baud, 9600) << "the boot loader's rate";
  EXPECT_FALSE(b.wire.parity);
  EXPECT_EQ(b.Ask(Cmd(1, 0x1012)), (Bytes{1, 0x45, 0x10, 0x12, 0x33}));
  Bytes rel = Cmd(1, 0x1013);
  Put8(rel, 1);
  EXPECT_EQ(b.Ask(rel), (Bytes{1, 0x45, 0x10, 0x13, 1, 3, 3, 9, 0x1A, 0x2B, 0x3C, 0x4D, 0x02}));
  // Versions from the boot loader: the software in its flash.
  EXPECT_EQ(b.Ask(Cmd(1, 0x1010)), (Bytes{1, 0x45, 0x10, 0x10, 0x02, 0x87, 0, 5, 0x01, 0xEA, 0, 150}));
  EXPECT_TRUE(b.Ask({240, 0x41}).empty()) << "the software is not running";
  // It stays: no start-up window after a reset to the boot loader.
  b.Wait(5000000);
  EXPECT_EQ(b.unit.Mode(), UnitMode::BootLoader);

  // RAM: write, examine back, set baud rate moves it.
  Bytes w = Cmd(1, 0x1020);
  Put32(w, 0x10);
  Put8(w, 3);
  for (uint8_t c : {7, 8, 9}) Put8(w, c);
  EXPECT_EQ(b.Ask(w), (Bytes{1, 0x45, 0x10, 0x20, 0, 0, 0, 0x10, 3}));
  Bytes e = Cmd(1, 0x1021);
  Put32(e, 0x0F);
  Put8(e, 5);
  EXPECT_EQ(b.Ask(e), (Bytes{1, 0x45, 0x10, 0x21, 0, 0, 0, 0x0F, 5, 0, 7, 8, 9, 0}));
  Bytes rate = Cmd(1, 0x1090);
  Put8(rate, 9);
  EXPECT_EQ(b.Ask(rate).size(), 4u);
  EXPECT_EQ(b.wire.baud, 921600);
  rate.back() = 10;
  EXPECT_TRUE(b.Ask(rate).empty()) << "no such index";

  // Running RAM that holds no program hangs the unit until a power cycle.
  Bytes run = Cmd(1, 0x1022);
  Put32(run, 0x5000);
  EXPECT_EQ(b.Ask(run).size(), 4u);
  EXPECT_EQ(b.unit.Mode(), UnitMode::Hung);
  EXPECT_TRUE(b.Ask(Cmd(1, 0x1012)).empty());
}

TEST(UnitBootLoader, PowerCycleOpensTheStartUpWindowThenTheSoftwareStarts) {
  UnitProfile p = DefaultProfile();
  p.bootRate = 115200;
  Bench b(p);
  b.unit.PowerCycle(b.now);
  EXPECT_EQ(b.wire.baud, 115200);
  EXPECT_TRUE(b.Ask(Cmd(1, 0x1012)).empty()) << "still resetting";
  b.Wait(p.resetUs);
  EXPECT_EQ(b.unit.Mode(), UnitMode::BootLoader);
  b.Wait(p.bootWindowUs);
  EXPECT_EQ(b.unit.Mode(), UnitMode::Software);
  EXPECT_EQ(b.wire.baud, 19200);
  EXPECT_EQ(b.Ask({240, 0x41}).size(), 2u);

  // Caught inside the window: the boot loader stays.
  b.unit.PowerCycle(b.now);
  b.Wait(p.resetUs + 100000);
  EXPECT_EQ(b.Ask(Cmd(1, 0x1012)).size(), 5u);
  b.Wait(2 * p.bootWindowUs);
  EXPECT_EQ(b.unit.Mode(), UnitMode::BootLoader);
  // Reset unit restarts the software through the window.
  EXPECT_EQ(b.Ask(Cmd(1, 0x1032)).size(), 4u);
  b.Wait(p.resetUs + p.bootWindowUs + 1000);
  EXPECT_EQ(b.unit.Mode(), UnitMode::Software);
}

TEST(UnitBootLoader, SecuredBootLoaderCommandClearsTestSoftwareBit) {
  UnitProfile p = DisplayMcu2Profile();
  p.bootFlags = 0x82;
  p.bootRelease = 3;
  Bench b(p);
  EXPECT_TRUE(b.Ask(Cmd(1, 0x10F0)).empty()) << "only the boot loader knows it";
  ToBootLoader(b);
  EXPECT_EQ(b.Ask(Cmd(1, 0x10F0)), (Bytes{1, 0x45, 0x10, 0xF0, 0}));
  EXPECT_EQ(b.unit.Flags(), 0x02);
  EXPECT_EQ(b.unit.Release(), 5);

  p.secureBootResult = 6;
  Bench refused(p);
  ToBootLoader(refused);
  EXPECT_EQ(refused.Ask(Cmd(1, 0x10F0)).back(), 6);
  EXPECT_EQ(refused.unit.Flags(), 0x82);
}

TEST(UnitProgrammer, StartsFromRamAtTheRateOfItsMcuType) {
  Bench b3(DefaultProfile());
  StartProgrammer(b3);
  EXPECT_EQ(b3.unit.Mode(), UnitMode::Programmer);
  EXPECT_EQ(b3.wire.baud, 115200) << "MCU type 3: 115200 whatever the link's rate";
  EXPECT_TRUE(b3.wire.cts);
  Bytes rate = Cmd(1, 0x1090);
  Put8(rate, 8);
  EXPECT_EQ(b3.Ask(rate).size(), 4u);
  EXPECT_EQ(b3.wire.baud, 460800);
  EXPECT_EQ(b3.Ask(Cmd(1, 0x1033)).size(), 4u);
  EXPECT_EQ(b3.wire.baud, 115200) << "restarts at 115200";
  // The long write takes 129 bytes and echoes a 16-bit length.
  Bytes lw = Cmd(1, 0x1040);
  Put32(lw, 0x8000);
  Put16(lw, 129);
  lw.resize(lw.size() + 129, 0x11);
  EXPECT_EQ(b3.Ask(lw), (Bytes{1, 0x45, 0x10, 0x40, 0, 0, 0x80, 0, 0, 129, 0}));
  EXPECT_EQ(b3.Ask(Cmd(1, 0x1091)), (Bytes{1, 0x45, 0x10, 0x91, 0, 128})) << "buffer size";
  Bytes clear = Cmd(1, 0x1034);
  for (char c : std::string("erase")) Put8(clear, static_cast<uint8_t>(c));
  EXPECT_EQ(b3.Ask(clear).size(), 4u);
  EXPECT_TRUE(b3.unit.Flags() & 1) << "clear chip leaves no software";

  Bench b2(DisplayMcu2Profile());
  ToBootLoader(b2);
  Bytes step = Cmd(1, 0x1090);
  Put8(step, 4);
  EXPECT_EQ(b2.Ask(step).size(), 4u);
  step.back() = 7;
  EXPECT_TRUE(b2.Ask(step).empty()) << "MCU type 2 goes no higher than 115200";
  b2.Wait(1000);
  Bytes w = Cmd(1, 0x1020);
  Put32(w, 0x00FFD080);
  Put8(w, 16);
  w.resize(w.size() + 16, 0xAA);
  EXPECT_EQ(b2.Ask(w).size(), 9u);
  Bytes run = Cmd(1, 0x1022);
  Put32(run, 0x00FFD088);
  EXPECT_EQ(b2.Ask(run).size(), 4u);
  EXPECT_EQ(b2.unit.Mode(), UnitMode::Programmer);
  EXPECT_EQ(b2.wire.baud, 57600) << "MCU type 2: the link's rate";
  EXPECT_EQ(b2.Ask(Cmd(1, 0x1033)).size(), 4u);
  EXPECT_EQ(b2.wire.baud, 57600);
  EXPECT_TRUE(b2.Ask(Cmd(1, 0x1091)).empty()) << "no buffer size on MCU type 2";
  Bytes clear2 = Cmd(1, 0x1034);
  for (char c : std::string("erase")) Put8(clear2, static_cast<uint8_t>(c));
  EXPECT_TRUE(b2.Ask(clear2).empty()) << "clear chip is for LPC parts only";

  // Reset to boot loader from the programmer; reset unit back to the software.
  EXPECT_EQ(b2.Ask(Cmd(1, 0x1011)).size(), 4u);
  b2.Wait(10000);
  EXPECT_EQ(b2.unit.Mode(), UnitMode::BootLoader);
  EXPECT_EQ(b2.wire.baud, 9600);
}

}  // namespace
}  // namespace corv::sim::test
