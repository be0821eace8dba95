// The software-mode guards, the read-back in blocks and the read-back comparison
// of the unit-data operations.
#include "unitdata/unit_mode.h"

#include <algorithm>

namespace corv {

void RequireFlashProgrammer(Link& link) {
  if (link.softwareMode != modeFlashProgrammer) {
    Fatal(link.ctx, "Flash programmer is not running in the unit, cannot perform this operation");
  }
}

void RequireCorvantaSoftware(Link& link) {
  if (link.softwareMode != modeCorvantaSoftware) {
    Fatal(link.ctx, "Corvanta software is not running in the unit, cannot perform this operation");
  }
}

void CompareReadBack(Context& ctx, uint32_t offset, const uint8_t* got, const uint8_t* expected, uint8_t length) {
  for (uint8_t i = 0; i < length; ++i) {
    if (got[i] != expected[i]) {
      TextStream t;
      t << "Verify file failed at " << Hex{offset, 8};
      Fatal(ctx, t.Text());
    }
  }
}

uint8_t DriveBlockLength(uint32_t offset, uint32_t length) {
  return static_cast<uint8_t>(std::min(kDriveBlockSize, length - offset));
}

bool ReadBackInBlocks(Link& link, uint32_t length, const std::function<bool(uint32_t, uint8_t)>& readBlock) {
  Context& ctx = link.ctx;
  Packet& p = link.packet;
  QuietTransfer quiet(ctx);
  const uint32_t startMs = ctx.clock.TickMs();
  const uint32_t startBytes = p.BytesReceived();
  for (uint32_t offset = 0; offset < length; offset += kDriveBlockSize) {
    if (!readBlock(offset, DriveBlockLength(offset, length))) return false;
    p.ProgressMarks(offset + DriveBlockLength(offset, length), length);
  }
  p.EndProgress();
  WriteTransferSummary(ctx.Detail(), "Bytes received = ", p.BytesReceived() - startBytes,
                       ctx.clock.TickMs() - startMs);
  return true;
}

}  // namespace corv
