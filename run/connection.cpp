// Finding the unit: the run's port is opened (given, saved, searched or asked
// for) and probed, then the versions are read. Without a port driver there
// are no serial ports, so no unit can answer.
#include "run/connection.h"

#include "link/discovery.h"
#include "run/link_session.h"

namespace corv {

std::unique_ptr<UnitSession> ConnectToUnit(Context& ctx, PortDriver* driver) {
  if (!driver) return nullptr;
  auto session = std::make_unique<LinkSession>(ctx, *driver);
  OpenUnitPort(session->TheLink());
  if (!ConnectUnit(session->TheLink())) return nullptr;  // the port is closed and unlocked with it
  return session;
}

}  // namespace corv
