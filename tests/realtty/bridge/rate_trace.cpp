// Reading QEMU's usb-serial trace events.
#include "tests/realtty/bridge/rate_trace.h"

#include <charconv>
#include <cstdlib>

namespace corv::realtty {
namespace {

// Takes the text `word` at the front of `s`.
bool Take(std::string_view& s, std::string_view word) {
  if (s.substr(0, word.size()) != word) return false;
  s.remove_prefix(word.size());
  return true;
}

bool TakeNumber(std::string_view& s, int64_t& out) {
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  if (ec != std::errc() || end == s.data()) return false;
  s.remove_prefix(static_cast<size_t>(end - s.data()));
  return true;
}

// "<bus>:<address> " after "dev ".
bool TakeDevice(std::string_view& s, LineEvent& e) {
  int64_t bus = 0, address = 0;
  if (!Take(s, "dev ") || !TakeNumber(s, bus) || !Take(s, ":") || !TakeNumber(s, address) || !Take(s, " ")) {
    return false;
  }
  e.bus = static_cast<int>(bus);
  e.address = static_cast<int>(address);
  return true;
}

}  // namespace

std::optional<LineEvent> ParseTraceLine(std::string_view line) {
  constexpr std::string_view kRate = "usb_serial_set_baud ";
  constexpr std::string_view kFormat = "usb_serial_set_data ";
  LineEvent e;
  if (const size_t at = line.find(kRate); at != std::string_view::npos) {
    std::string_view s = line.substr(at + kRate.size());
    int64_t rate = 0;
    if (!TakeDevice(s, e) || !Take(s, "baud rate ") || !TakeNumber(s, rate) || rate <= 0 || rate > 100000000) {
      return std::nullopt;
    }
    e.kind = LineEvent::Kind::kRate;
    e.rate = static_cast<int32_t>(rate);
    return e;
  }
  if (const size_t at = line.find(kFormat); at != std::string_view::npos) {
    std::string_view s = line.substr(at + kFormat.size());
    int64_t data = 0, stop = 0;
    if (!TakeDevice(s, e) || !Take(s, "parity ") || s.empty()) return std::nullopt;
    e.parity = s.front();
    s.remove_prefix(1);
    if (!Take(s, ", data bits ") || !TakeNumber(s, data) || !Take(s, ", stop bits ") || !TakeNumber(s, stop)) {
      return std::nullopt;
    }
    if ((e.parity != 'N' && e.parity != 'E' && e.parity != 'O') || data < 5 || data > 8 || stop < 1 || stop > 2) {
      return std::nullopt;
    }
    e.kind = LineEvent::Kind::kFormat;
    e.dataBits = static_cast<int>(data);
    e.stopBits = static_cast<int>(stop);
    return e;
  }
  return std::nullopt;
}

int32_t HeardRate(int32_t rate) {
  static constexpr int32_t kStandard[] = {300,   600,    1200,   2400,   4800,   9600,   14400,  19200,
                                          28800, 38400,  57600,  115200, 128000, 230400, 256000, 460800,
                                          500000, 921600, 1000000};
  for (const int32_t r : kStandard) {
    if (std::llabs(static_cast<int64_t>(rate) - r) * 50 <= r) return r;  // within 2 %
  }
  return rate;
}

}  // namespace corv::realtty
