// What QEMU's trace says about the line of an emulated FTDI adapter, and the
// rate a receiver hears in it. The adapter's divisor makes rates such as
// 923076 (asked: 921600) or 127659 (asked: 128000); a real UART at the far
// end takes them for the standard rate they are within 2 % of.
#pragma once
#include <cstdint>
#include <optional>
#include <string_view>

namespace corv::realtty {

struct LineEvent {
  enum class Kind { kRate, kFormat };
  Kind kind = Kind::kRate;
  int bus = 0;
  int address = 0;
  int32_t rate = 0;     // kRate: bits per second as the chip makes them
  char parity = 'N';    // kFormat: 'N', 'E' or 'O'
  int dataBits = 8;     // kFormat
  int stopBits = 1;     // kFormat
};

// One line of QEMU's log-backend trace (with or without its "pid@time:"
// prefix): a usb_serial_set_baud or usb_serial_set_data event; nothing for any
// other line.
std::optional<LineEvent> ParseTraceLine(std::string_view line);

// The standard rate within 2 % of `rate`, or `rate` itself when there is none.
int32_t HeardRate(int32_t rate);

}  // namespace corv::realtty
