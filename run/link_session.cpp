// The run's unit session over the unit link.
#include "run/link_session.h"

#include <string>

#include "link/discovery.h"

namespace corv {

bool LinkSession::Reconnect() { return corv::Reconnect(link_); }

void LinkSession::NotInThisBuild(const char* what) { Fatal(ctx_, std::string(what) + " is not part of this build"); }

void LinkSession::RunUpdateProcedure(int32_t, bool) { NotInThisBuild("The update procedure"); }
int32_t LinkSession::ReadManufacturingInput() { NotInThisBuild("The manufacturing input"); }
bool LinkSession::RebootAndInterrogate(bool) { NotInThisBuild("The reboot into the boot loader"); }
bool LinkSession::SelectFlashTarget() { NotInThisBuild("The flash target"); }
bool LinkSession::ResetUnit() { NotInThisBuild("The unit reset"); }

}  // namespace corv
