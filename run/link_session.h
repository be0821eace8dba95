// The unit session of a run over the unit link: the link record with its port
// driver, and what the run modes ask of the connected unit. The link-side
// operations (software mode, versions, reconnection, closing and unlocking)
// come from the link, the unit information, the reboot, the flash target and
// the unit reset from the flash code, the update and the manufacturing input
// from the update procedure and the unit data.
#pragma once
#include "flash/unit_info.h"
#include "link/link.h"
#include "run/boot_program.h"
#include "run/unit_session.h"
#include "unitdata/manufacturing_fields.h"

namespace corv {

class LinkSession : public UnitSession {
 public:
  // The link installs its release as the run's way-out hook.
  // The versions read at connection are printed and the card number checked.
  LinkSession(Context& ctx, PortDriver& driver);

  Link& TheLink() { return link_; }
  UnitInfo& Info() { return info_; }

  uint8_t SoftwareMode() const override { return link_.softwareMode; }
  void ForgetSoftwareMode() override { link_.softwareMode = modeUnknown; }
  uint16_t SoftwareVersion() const override { return link_.versions.softwareVersion; }
  uint8_t UnitId() const override { return link_.unitId; }
  bool OverlappedInUse() const override { return info_.overlapped; }
  bool Reconnect() override;
  bool SoftwareAnswers() override;
  void ClosePortAndUnlock() override { link_.ClosePortAndUnlock(); }

  void ReadExtendedInformation() override;
  bool RunUpdateProcedure(int32_t newSerialNumber, bool confirm) override;
  int32_t ReadManufacturingInput() override;
  bool RebootAndInterrogate(bool preferRate) override;
  bool SelectFlashTarget() override;
  bool ResetUnit() override;

 private:
  void ReclaimPort();

  Context& ctx_;
  Link link_;
  UnitInfo info_;
  ManufacturingInput manufacturing_;
};

}  // namespace corv
