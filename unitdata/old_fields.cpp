// Reading and writing back the old-fields area in 128-byte blocks.
#include "unitdata/old_fields.h"

#include <algorithm>

#include "flash/flash_target.h"
#include "link/commands.h"
#include "link/exchange.h"
#include "unitdata/unit_mode.h"

namespace corv {

namespace {

constexpr int kAttempts = 20;
constexpr uint8_t kBlock = cmd::kOldFieldsLength;  // 128

// 0x1051: one block at `address` into `out` (128 bytes), 20 attempts.
bool ReadBlock(Link& link, uint32_t address, uint8_t* out) {
  uint8_t data[kBlock];
  Exchange x(link, link.bootAddress, cmd::kReadOldFields);
  if (!x.U32(address).U8(kBlock).Run(Tries{kAttempts}, [&](ReplyFields& f) {
        const uint32_t echoed = f.U32();
        const uint32_t count = f.U8();
        f.Bytes(data, kBlock);
        return echoed == address && count == kBlock;
      })) {
    return false;
  }
  std::copy(data, data + kBlock, out);
  return true;
}

// 0x1050: one block back, 20 attempts. The unit may say it could not store
// this block; the others still go.
bool WriteBlock(Link& link, uint32_t address, const uint8_t* data) {
  uint8_t status = 0;
  Exchange x(link, link.bootAddress, cmd::kWriteOldFields);
  if (!x.U32(address).U8(kBlock).Data(data, kBlock).Run(Tries{kAttempts}, [&](ReplyFields& f) {
        const uint32_t echoed = f.U32();
        const uint32_t count = f.U8();
        status = f.U8();
        return echoed == address && count == kBlock;
      })) {
    return false;
  }
  if (status != 0) link.ctx.Detail() << "Error:" << Hex{status, 2} << "\r\n";
  return true;
}

}  // namespace

bool ReadOldFields(Link& link, const UnitInfo& info, OldFieldsBuffer& buffer) {
  if (!info.oldFieldsInFlash) return true;
  Context& ctx = link.ctx;
  ctx.Detail() << "Reading old fields\r\n";
  RequireFlashProgrammer(link);
  const OldFieldsArea area = GetOldFieldsArea(ctx, info);
  buffer.bytes.assign(area.length, 0xFF);
  uint32_t done = 0;
  for (uint32_t address = area.first; done < area.length; address += kBlock) {
    ctx.Detail() << "Reading $" << Hex{address, 8} << " (" << Dec{kBlock} << ")\r\n";
    uint8_t block[kBlock];
    if (!ReadBlock(link, address, block)) return false;
    const uint32_t n = std::min<uint32_t>(kBlock, area.length - done);
    std::copy(block, block + n, buffer.bytes.begin() + done);
    done += kBlock;
  }
  ctx.Detail() << "OK - old fields has been read\r\n";
  return true;
}

bool WriteOldFields(Link& link, const UnitInfo& info, const OldFieldsBuffer& buffer) {
  if (!info.oldFieldsInFlash) return true;
  Context& ctx = link.ctx;
  ctx.Detail() << "Writing old fields\r\n";
  RequireFlashProgrammer(link);
  const OldFieldsArea area = GetOldFieldsArea(ctx, info);
  uint32_t done = 0;
  for (uint32_t address = area.first; done < area.length; address += kBlock) {
    ctx.Detail() << "Writing $" << Hex{address, 8} << " (" << Dec{kBlock} << ")\r\n";
    // A buffer that was never filled writes erased bytes rather than reading
    // past its end.
    uint8_t block[kBlock];
    for (uint32_t i = 0; i < kBlock; ++i) {
      block[i] = done + i < buffer.bytes.size() ? buffer.bytes[done + i] : 0xFF;
    }
    if (!WriteBlock(link, address, block)) return false;
    done += kBlock;
  }
  ctx.Detail() << "OK - old fields have been written\r\n";
  return true;
}

std::function<bool()> OldFieldsHook(Link& link, const UnitInfo& info, const OldFieldsBuffer& buffer) {
  return [&link, &info, &buffer] { return WriteOldFields(link, info, buffer); };
}

}  // namespace corv
