// Finding the unit. This program is built without a serial link to a unit, so
// no port is opened and no unit can answer: the start-up ends with "Unable to
// connect to Corvanta unit".
#include "run/connection.h"

namespace corv {

std::unique_ptr<UnitSession> ConnectToUnit(Context& /*ctx*/) { return nullptr; }

}  // namespace corv
