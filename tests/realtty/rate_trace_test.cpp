// The bridge's reading of QEMU's trace: the two events in both of the log
// backend's layouts, lines it must leave alone, and the rate a far-end UART
// hears in what the adapter's divisor makes of the program's rates.
#include "tests/realtty/bridge/rate_trace.h"

#include <gtest/gtest.h>

namespace corv::realtty {
namespace {

TEST(RateTrace, ReadsBothEventsWithAndWithoutTheTimePrefix) {
  auto e = ParseTraceLine("4711@1733700000.123456:usb_serial_set_baud dev 1:2 baud rate 923076");
  ASSERT_TRUE(e);
  EXPECT_EQ(e->kind, LineEvent::Kind::kRate);
  EXPECT_EQ(e->bus, 1);
  EXPECT_EQ(e->address, 2);
  EXPECT_EQ(e->rate, 923076);

  e = ParseTraceLine("usb_serial_set_data dev 0:1 parity E, data bits 8, stop bits 2");
  ASSERT_TRUE(e);
  EXPECT_EQ(e->kind, LineEvent::Kind::kFormat);
  EXPECT_EQ(e->bus, 0);
  EXPECT_EQ(e->parity, 'E');
  EXPECT_EQ(e->dataBits, 8);
  EXPECT_EQ(e->stopBits, 2);
}

TEST(RateTrace, LeavesOtherAndDamagedLinesAlone) {
  EXPECT_FALSE(ParseTraceLine("usb_serial_set_flow_control dev 1:1 flow control 1"));
  EXPECT_FALSE(ParseTraceLine("serial_update_parameters baudrate=115200 parity='N' data=8 stop=2"));
  EXPECT_FALSE(ParseTraceLine("usb_serial_set_baud dev 1:1 baud rate "));        // cut short
  EXPECT_FALSE(ParseTraceLine("usb_serial_set_baud dev 1:1 baud rate 0"));
  EXPECT_FALSE(ParseTraceLine("usb_serial_set_data dev 1:1 parity M, data bits 8, stop bits 1"));
  EXPECT_FALSE(ParseTraceLine("usb_serial_set_data dev 1:1 parity N, data bits 8"));
  EXPECT_FALSE(ParseTraceLine(""));
}

TEST(RateTrace, HearsTheStandardRateInTheAdaptersRounding) {
  // What ftdi_sio's divisors give on QEMU's FT232BM for the program's rates.
  EXPECT_EQ(HeardRate(923076), 921600);
  EXPECT_EQ(HeardRate(461538), 460800);
  EXPECT_EQ(HeardRate(230769), 230400);
  EXPECT_EQ(HeardRate(127659), 128000);
  EXPECT_EQ(HeardRate(115384), 115200);
  EXPECT_EQ(HeardRate(57553), 57600);
  EXPECT_EQ(HeardRate(19200), 19200);
  // Further off than a receiver takes: the rate as it is, which the unit
  // then hears as garbage.
  EXPECT_EQ(HeardRate(100000), 100000);
  EXPECT_EQ(HeardRate(120000), 120000);
}

}  // namespace
}  // namespace corv::realtty
