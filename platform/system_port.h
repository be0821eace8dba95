// The port driver of the system the program runs on: numbered COM ports as the
// platform names them, each held exclusively while it is open.
#pragma once
#include <memory>

#include "platform/port.h"

namespace corv {

std::unique_ptr<PortDriver> SystemPortDriver();

}  // namespace corv
