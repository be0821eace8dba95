// The unit model on a virtual line: bytes and their arrival times in, replies,
// CTS and rate changes out.
#include "sim/virtual_unit.h"

namespace corv::sim {

VirtualUnit::VirtualUnit(VirtualLine& line, const UnitProfile& profile) : line_(line), model_(profile) {
  model_.Attach(this, line_.Clock().NowUs());
  line_.Attach(this);
}

VirtualUnit::~VirtualUnit() { line_.Attach(nullptr); }

UnitModel& VirtualUnit::Model() {
  model_.Advance(line_.Clock().NowUs());
  return model_;
}

void VirtualUnit::PowerCycle() { model_.PowerCycle(line_.Clock().NowUs()); }

void VirtualUnit::OnByte(VirtualLine& /*line*/, uint64_t atUs, uint8_t byte) {
  model_.Advance(atUs);
  model_.OnByte(atUs, byte);
}

void VirtualUnit::Settle(VirtualLine& /*line*/, uint64_t atUs) { model_.Advance(atUs); }

void VirtualUnit::Send(uint64_t atUs, const uint8_t* data, size_t n) { line_.FarSend(atUs, data, n); }

void VirtualUnit::SetCts(uint64_t atUs, bool on) { line_.SetCtsAt(atUs, on); }

// The unit hears nothing between the event and `atUs` that it should answer
// (the program waits for the reply sent before the change), and the line
// judges each reply byte by the rate it was sent at: the change can be made now.
void VirtualUnit::Listen(uint64_t /*atUs*/, int32_t baud, bool evenParity) { line_.SetFarLine(baud, evenParity); }

void VirtualUnit::Flush(uint64_t /*atUs*/) { line_.FarFlush(); }

}  // namespace corv::sim
