// The run's unit session over the unit link.
#include "run/link_session.h"

#include "flash/boot_commands.h"
#include "flash/flash_target.h"
#include "flash/interrogation.h"
#include "flash/reboot.h"
#include "link/discovery.h"
#include "run/update_procedure.h"

namespace corv {

LinkSession::LinkSession(Context& ctx, PortDriver& driver) : ctx_(ctx), link_(ctx, driver) {
  InstallVersionsHook(link_, info_);
}

bool LinkSession::Reconnect() {
  ReclaimPort();
  return corv::Reconnect(link_);
}

bool LinkSession::SoftwareAnswers() {
  ReclaimPort();
  return corv::SoftwareAnswers(link_);
}

// A port handed to CorvBoot comes back locked again before it is reopened;
// reopening alone would leave the rest of the run without a lock file.
void LinkSession::ReclaimPort() {
  if (!link_.PortOpen()) link_.LockAndOpenPort(Link::shortTimeoutMs);
}

bool LinkSession::RunUpdateProcedure(int32_t newSerialNumber, bool confirm) {
  UpdateTarget target{link_, info_, manufacturing_.record, [this] { InstallSecuredBootLoader(ctx_, *this); }};
  return RunUpdate(ctx_, target, newSerialNumber, confirm);
}

int32_t LinkSession::ReadManufacturingInput() {
  manufacturing_ = corv::ReadManufacturingInput(ctx_);
  return manufacturing_.serialNumber;
}

void LinkSession::ReadExtendedInformation() { corv::ReadExtendedInformation(link_, info_); }
bool LinkSession::RebootAndInterrogate(bool preferRate) {
  ReclaimPort();
  return RebootToBootLoader(link_, info_, preferRate);
}
bool LinkSession::SelectFlashTarget() { return corv::SelectFlashTarget(link_, info_); }
bool LinkSession::ResetUnit() { return corv::ResetUnit(link_, info_); }

}  // namespace corv
