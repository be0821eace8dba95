// A scripted far end for the cases an honest unit never produces (a reply
// under the wrong code, an acknowledgement for a block never sent): it takes
// whole request frames, each as long as its code says or as long as a test
// fixes, and answers each through a handler.
#pragma once
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "sim/virtual_line.h"
#include "tests/common/frames.h"

namespace corv::testing {

class FrameScript : public LineEnd {
 public:
  using Bytes = std::vector<uint8_t>;
  // Replies (without their check) to one request frame (with its check).
  using Handler = std::function<std::vector<Bytes>(const Bytes& frame, uint64_t atUs)>;

  void OnByte(VirtualLine& line, uint64_t atUs, uint8_t byte) override {
    pending_.push_back(byte);
    const size_t need = length ? length : RequestLength(pending_, 4);  // unknown: dropped a header at a time
    if (need == 0 || pending_.size() < need) return;
    frames.push_back(std::exchange(pending_, {}));
    arrivals.push_back(atUs);
    if (!handler) return;
    for (Bytes& r : handler(frames.back(), atUs)) {
      const Bytes f = Framed(std::move(r));
      line.FarSend(atUs + replyDelayUs, f.data(), f.size());
    }
  }

  Handler handler;
  size_t length = 0;  // every request this long; 0: as long as its code says
  std::vector<Bytes> frames;
  std::vector<uint64_t> arrivals;
  uint64_t replyDelayUs = 300;

 private:
  Bytes pending_;
};

}  // namespace corv::testing
