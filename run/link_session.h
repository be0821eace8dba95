// The unit session of a run over the unit link: the link record with its port
// driver, and what the run modes ask of the connected unit. The link-side
// operations (software mode, versions, reconnection, closing and unlocking)
// come from the link; the update procedure and the boot-loader steps are not
// in this build yet and end the run with a message saying so.
#pragma once
#include "link/link.h"
#include "run/unit_session.h"

namespace corv {

class LinkSession : public UnitSession {
 public:
  // The link installs its release as the run's way-out hook.
  LinkSession(Context& ctx, PortDriver& driver) : ctx_(ctx), link_(ctx, driver) {}

  Link& TheLink() { return link_; }

  uint8_t SoftwareMode() const override { return link_.softwareMode; }
  void ForgetSoftwareMode() override { link_.softwareMode = modeUnknown; }
  uint16_t SoftwareVersion() const override { return link_.versions.softwareVersion; }
  uint8_t UnitId() const override { return link_.unitId; }
  bool OverlappedInUse() const override { return false; }
  bool Reconnect() override;
  void ClosePortAndUnlock() override { link_.ClosePortAndUnlock(); }

  void ReadExtendedInformation() override {}
  void RunUpdateProcedure(int32_t newSerialNumber, bool confirm) override;
  int32_t ReadManufacturingInput() override;
  bool RebootAndInterrogate(bool preferRate) override;
  bool SelectFlashTarget() override;
  bool ResetUnit() override;

 private:
  [[noreturn]] void NotInThisBuild(const char* what);

  Context& ctx_;
  Link link_;
};

}  // namespace corv
