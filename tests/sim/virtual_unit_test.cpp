// The unit on a virtual line: the rate, parity and address rules as the
// program meets them through its port, the start-up window on virtual time,
// and CTS.
#include "sim/virtual_unit.h"

#include <gtest/gtest.h>

#include "tests/sim/bench.h"

namespace corv::sim::test {
namespace {

using Bytes = std::vector<uint8_t>;

struct Line {
  explicit Line(const UnitProfile& p) : driver(clock), unit(driver.AddLine(3), p) {}
  // Opens COM3 at a rate and parity; false when refused.
  bool Open(int32_t baud, bool even = false, int16_t timeoutMs = 100) {
    port.reset();
    LineSettings s;
    s.baud = baud;
    s.parity = even;
    s.even = even;
    OpenResult r;
    port = driver.Open(3, s, timeoutMs, r);
    return port != nullptr;
  }
  // One exchange; the reply bytes without check, empty when none or damaged.
  Bytes Ask(const Bytes& frame, size_t replyLength) { return testing::Ask(*port, frame, replyLength); }
  VirtualClock clock;
  VirtualPortDriver driver;
  VirtualUnit unit;
  std::unique_ptr<SerialPort> port;
};

TEST(VirtualUnitLine, SoftwareAnswersOnlyAtItsRateParityAndAddress) {
  UnitProfile p = DefaultProfile();
  p.rate = 57600;
  p.evenParity = true;
  p.address = 9;
  Line l(p);
  const Bytes quick{9, 0x41};
  for (int32_t baud : {115200, 38400, 19200, 9600}) {
    ASSERT_TRUE(l.Open(baud, true));
    EXPECT_TRUE(l.Ask(quick, 2).empty()) << baud;
  }
  ASSERT_TRUE(l.Open(57600, false));
  EXPECT_TRUE(l.Ask(quick, 2).empty()) << "no parity";
  ASSERT_TRUE(l.Open(57600, true));
  EXPECT_TRUE(l.Ask({240, 0x41}, 2).empty()) << "another address";
  EXPECT_EQ(l.Ask(quick, 2), (Bytes{9, 0x42}));
  EXPECT_EQ(l.Ask(Cmd(9, 0x1010), 12).size(), 12u);
}

TEST(VirtualUnitLine, BootLoaderRateAfterResetAndSetBaudRate) {
  UnitProfile p = DefaultProfile();
  p.bootRate = 115200;
  Line l(p);
  ASSERT_TRUE(l.Open(19200));
  EXPECT_EQ(l.Ask(Cmd(240, 0x1011), 4).size(), 4u);
  EXPECT_TRUE(l.Ask(Cmd(1, 0x1012), 5).empty()) << "the boot loader is not at the software's rate";
  ASSERT_TRUE(l.Open(9600));
  EXPECT_TRUE(l.Ask(Cmd(1, 0x1012), 5).empty());
  ASSERT_TRUE(l.Open(115200));
  EXPECT_EQ(l.Ask(Cmd(1, 0x1012), 5), (Bytes{1, 0x45, 0x10, 0x12, 0x33}));
  Bytes rate = Cmd(1, 0x1090);
  Put8(rate, 9);
  EXPECT_EQ(l.Ask(rate, 4).size(), 4u) << "answered at the old rate";
  EXPECT_TRUE(l.Ask(Cmd(1, 0x1012), 5).empty());
  ASSERT_TRUE(l.Open(921600));
  EXPECT_EQ(l.Ask(Cmd(1, 0x1012), 5).size(), 5u);
}

TEST(VirtualUnitLine, PowerCycleCaughtByPollingAndCtsOfTheProgrammer) {
  Line l(DefaultProfile());
  ASSERT_TRUE(l.Open(9600, false, 50));
  EXPECT_TRUE(l.Ask(Cmd(1, 0x1012), 5).empty());
  l.clock.SleepMs(3000);
  l.unit.PowerCycle();  // the user switches it off and on while the program polls
  int attempts = 0;
  while (l.Ask(Cmd(1, 0x1012), 5).empty() && attempts < 100) ++attempts;
  EXPECT_LT(attempts, 10);
  l.clock.SleepMs(5000);
  EXPECT_EQ(l.unit.Model().Mode(), UnitMode::BootLoader) << "caught: it stays";
  EXPECT_EQ(l.port->CtsOn(), 1) << "MCU type 3 boot loader";

  // Not caught: the software starts and answers at its rate and address.
  l.unit.PowerCycle();
  l.clock.SleepMs(2000);
  ASSERT_TRUE(l.Open(19200));
  EXPECT_EQ(l.Ask({240, 0x41}, 2).size(), 2u);
  EXPECT_EQ(l.port->CtsOn(), 0);
}

}  // namespace
}  // namespace corv::sim::test
