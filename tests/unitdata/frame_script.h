// A link talking to a flash programmer played by a script (the file and
// strings commands answered through a handler), on a virtual line of its own.
#pragma once
#include <functional>
#include <memory>
#include <vector>

#include "flash/unit_info.h"
#include "link/link.h"
#include "sim/virtual_line.h"
#include "platform/console.h"
#include "support/context.h"
#include "tests/common/frame_script.h"
#include "tests/common/scratch.h"

namespace corv::test {

using Bytes = std::vector<uint8_t>;

using testing::Framed;
using testing::FrameScript;
using testing::Get32;
using testing::Put32;

// A link already talking to a running flash programmer played by a script.
struct ScriptRig : testing::FakeRun {
  explicit ScriptRig(uint8_t mcuType, bool overlapped = false)
      : driver(clock), line(driver.AddLine(1)) {
    ctx.settings.portNumber = 1;
    ctx.settings.baudRate = 115200;
    ctx.settings.debugOn = true;
    ctx.settings.yesToPrompts = true;
    line.SetFarLine(115200, false);
    line.Attach(&script);
    link = std::make_unique<Link>(ctx, driver);
    link->LockAndOpenPort(Link::longTimeoutMs);
    link->softwareMode = modeFlashProgrammer;
    info.mcuType = mcuType;
    info.overlapped = overlapped;
  }
  bool Shows(const std::string& text) const { return console.Output().find(text) != std::string::npos; }

  VirtualPortDriver driver;
  VirtualLine& line;
  FrameScript script;
  std::unique_ptr<Link> link;
  UnitInfo info;
};

}  // namespace corv::test
