// Line-error classification: one text for the first flag that is set, in the
// order framing, overrun, parity, break, anything else.
#include "platform/port.h"

namespace corv {

std::string_view ClassifyLineErrors(const LineErrors& e) {
  if (e.frame) return "Comm port framing error";
  if (e.overrun) return "Comm port overrun";
  if (e.parity) return "Comm port parity error";
  if (e.brk) return "Comm port break";
  if (e.other) return "Comm port error";
  return {};
}

}  // namespace corv
