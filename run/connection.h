// The connection step of the start-up: open and lock the port and find the
// unit on it.
#pragma once
#include <memory>

#include "platform/port.h"
#include "run/unit_session.h"
#include "support/context.h"

namespace corv {

// The connected unit, or null when none answers (or there is no port driver).
// The session's link registers with the held record while it holds the port,
// so that every way out closes and unlocks it.
std::unique_ptr<UnitSession> ConnectToUnit(Context& ctx, PortDriver* driver);

}  // namespace corv
