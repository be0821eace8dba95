// A unit model at the far end of an in-process virtual line: attach it to the
// line of a VirtualPortDriver port and the program finds a unit on that COM
// port, on virtual time.
//
//   VirtualClock clock;
//   VirtualPortDriver driver(clock);
//   sim::VirtualUnit unit(driver.AddLine(3), sim::DefaultProfile());
//   ... run the program on `driver` ...
//   unit.PowerCycle();            // the user switches the unit off and on
//   unit.Model().Checksum();      // what the unit now holds
#pragma once
#include "sim/virtual_line.h"
#include "sim/unit_model.h"

namespace corv::sim {

class VirtualUnit : public LineEnd, private UnitWire {
 public:
  VirtualUnit(VirtualLine& line, const UnitProfile& profile);
  ~VirtualUnit() override;
  VirtualUnit(const VirtualUnit&) = delete;
  VirtualUnit& operator=(const VirtualUnit&) = delete;

  // The model, brought up to the line's present time.
  UnitModel& Model();
  // A power cycle now (on the line's clock).
  void PowerCycle();

  void OnByte(VirtualLine& line, uint64_t atUs, uint8_t byte) override;
  void Settle(VirtualLine& line, uint64_t atUs) override;

 private:
  void Send(uint64_t atUs, const uint8_t* data, size_t n) override;
  void SetCts(uint64_t atUs, bool on) override;
  void Listen(uint64_t atUs, int32_t baud, bool evenParity) override;
  void Flush(uint64_t atUs) override;

  VirtualLine& line_;
  UnitModel model_;
};

}  // namespace corv::sim
