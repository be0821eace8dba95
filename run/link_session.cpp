// The run's unit session over the unit link.
#include "run/link_session.h"

#include <string>

#include "flash/boot_commands.h"
#include "flash/flash_target.h"
#include "flash/interrogation.h"
#include "flash/reboot.h"
#include "link/discovery.h"

namespace corv {

LinkSession::LinkSession(Context& ctx, PortDriver& driver) : ctx_(ctx), link_(ctx, driver) {
  InstallVersionsHook(link_, info_);
}

bool LinkSession::Reconnect() { return corv::Reconnect(link_); }

void LinkSession::NotInThisBuild(const char* what) { Fatal(ctx_, std::string(what) + " is not part of this build"); }

void LinkSession::RunUpdateProcedure(int32_t, bool) { NotInThisBuild("The update procedure"); }
int32_t LinkSession::ReadManufacturingInput() { NotInThisBuild("The manufacturing input"); }
void LinkSession::ReadExtendedInformation() { corv::ReadExtendedInformation(link_, info_); }
bool LinkSession::RebootAndInterrogate(bool preferRate) { return RebootToBootLoader(link_, info_, preferRate); }
bool LinkSession::SelectFlashTarget() { return corv::SelectFlashTarget(link_, info_); }
bool LinkSession::ResetUnit() { return corv::ResetUnit(link_, info_); }

}  // namespace corv
