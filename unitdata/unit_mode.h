// Guards and small services shared by the manufacturing-fields, flash-drive and
// strings operations: the block size of the flash drive and strings area and
// the read-back in blocks, the software-mode checks that stop a run before
// anything is sent, and the scope that keeps the per-packet trace quiet during
// a bulk transfer.
#pragma once
#include <cstdint>
#include <functional>

#include "link/link.h"

namespace corv {

// Flash-drive files and the strings file move in blocks of at most this many bytes.
inline constexpr uint32_t kDriveBlockSize = 128;

// The length of the block at `offset` of `length` bytes.
uint8_t DriveBlockLength(uint32_t offset, uint32_t length);

// Reads `length` bytes back block by block through `readBlock` (offset and
// block length), with the progress line, the trace quiet, and the "Bytes
// received = " summary; false when a block gives up.
bool ReadBackInBlocks(Link& link, uint32_t length, const std::function<bool(uint32_t, uint8_t)>& readBlock);

// Fatal "Flash programmer is not running in the unit, ..." unless the unit is
// in modeFlashProgrammer.
void RequireFlashProgrammer(Link& link);
// Fatal "Corvanta software is not running in the unit, ..." unless the unit
// runs its own software.
void RequireCorvantaSoftware(Link& link);

// Compares a read-back block, from an intact reply to its request, with what
// was sent; a real difference ends the run: "Verify file failed at " and the
// block's offset.
void CompareReadBack(Context& ctx, uint32_t offset, const uint8_t* got, const uint8_t* expected, uint8_t length);

// Switches traceEnabled off for a bulk transfer and back to what it was when
// the transfer ends, on every way out.
class QuietTransfer {
 public:
  explicit QuietTransfer(Context& ctx) : ctx_(ctx), was_(ctx.settings.traceEnabled) {
    ctx.settings.traceEnabled = false;
  }
  ~QuietTransfer() { ctx_.settings.traceEnabled = was_; }
  QuietTransfer(const QuietTransfer&) = delete;
  QuietTransfer& operator=(const QuietTransfer&) = delete;

 private:
  Context& ctx_;
  bool was_;
};

}  // namespace corv
