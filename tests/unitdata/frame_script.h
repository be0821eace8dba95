// A scripted unit for the cases an honest unit never produces (a reply under
// the wrong code, an acknowledgement for a block never sent): it takes whole
// request frames of the flash programmer's file and strings commands and
// answers each through a handler, on a virtual line of its own.
#pragma once
#include <functional>
#include <memory>
#include <vector>

#include "flash/unit_info.h"
#include "link/crc16.h"
#include "link/link.h"
#include "sim/virtual_line.h"
#include "platform/console.h"
#include "support/context.h"
#include "tests/common/frames.h"

namespace corv::test {

using Bytes = std::vector<uint8_t>;

using testing::Framed;
using testing::Get32;
using testing::Put32;

class FrameScript : public LineEnd {
 public:
  // Replies (without their check) to one request frame (with its check).
  using Handler = std::function<std::vector<Bytes>(const Bytes& frame, uint64_t atUs)>;

  void OnByte(VirtualLine& line, uint64_t atUs, uint8_t byte) override {
    pending_.push_back(byte);
    const size_t need = RequestLength();
    if (need == 0 || pending_.size() < need) return;
    frames.push_back(pending_);
    arrivals.push_back(atUs);
    pending_.clear();
    if (!handler) return;
    for (Bytes& r : handler(frames.back(), atUs)) {
      const Bytes f = Framed(std::move(r));
      line.FarSend(atUs + replyDelayUs, f.data(), f.size());
    }
  }

  Handler handler;
  std::vector<Bytes> frames;
  std::vector<uint64_t> arrivals;
  uint64_t replyDelayUs = 300;

 private:
  // Frame length with its check, 0 while not yet known.
  size_t RequestLength() const {
    if (pending_.size() < 4) return 0;
    switch (pending_[2] << 8 | pending_[3]) {
      case 0x1058: return 6;
      case 0x1060:
      case 0x1070:
      case 0x1080:
      case 0x1082: return 7;
      case 0x105A: return 11;
      case 0x1062: return 12;
      case 0x1059: return pending_.size() < 9 ? 0 : 11u + pending_[8];
      case 0x1071: return pending_.size() < 10 ? 0 : 12u + pending_[9];
      default: return 4;  // anything else is dropped a header at a time
    }
  }
  Bytes pending_;
};

// A link already talking to a running flash programmer played by a script.
struct ScriptRig {
  explicit ScriptRig(uint8_t mcuType, bool overlapped = false)
      : ctx(console, clock), driver(clock), line(driver.AddLine(1)) {
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

  VirtualClock clock;
  ScriptedConsole console;
  Context ctx;
  VirtualPortDriver driver;
  VirtualLine& line;
  FrameScript script;
  std::unique_ptr<Link> link;
  UnitInfo info;
};

}  // namespace corv::test
