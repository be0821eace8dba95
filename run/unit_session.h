// What the run modes need of a connected unit. The unit link, the boot-loader
// and flash code and the update procedure provide it; the run modes and the
// secured boot-loader installation are written against it alone.
#pragma once
#include <cstdint>

namespace corv {

class UnitSession {
 public:
  virtual ~UnitSession() = default;

  // The link's software mode (1 instrument software, 2 boot loader, ...).
  virtual uint8_t SoftwareMode() const = 0;
  virtual void ForgetSoftwareMode() = 0;  // back to modeUnknown
  // The unit's software version x 100, as read at connection.
  virtual uint16_t SoftwareVersion() const = 0;
  // The current unit address and whether overlapped writing is in use.
  virtual uint8_t UnitId() const = 0;
  virtual bool OverlappedInUse() const = 0;

  // Reads and prints the extended information.
  virtual void ReadExtendedInformation() = 0;
  // Decides what must change and rewrites it; ends the run itself on failure.
  // Returns whether the closing reset was answered (false: maybe reset with
  // its reply lost; the unit's software answering again confirms it).
  virtual bool RunUpdateProcedure(int32_t newSerialNumber, bool confirm) = 0;
  // Reads the manufacturing fields and the new serial number (SerialNo) from
  // the parameter file; the fields stay with the session for the update.
  virtual int32_t ReadManufacturingInput() = 0;
  virtual bool Reconnect() = 0;
  // After a reset whose answer went missing: whether the unit's software
  // answers at its address and rate within its start-up time (nothing more is
  // tried; a unit still in its programmer or boot loader does not answer).
  virtual bool SoftwareAnswers() = 0;
  virtual bool RebootAndInterrogate(bool preferRate) = 0;
  virtual bool SelectFlashTarget() = 0;
  virtual bool ResetUnit() = 0;
  virtual void ClosePortAndUnlock() = 0;
};

}  // namespace corv
