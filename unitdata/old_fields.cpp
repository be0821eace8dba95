// Reading and writing back the old-fields area in 128-byte blocks.
#include "unitdata/old_fields.h"

#include <algorithm>

#include "link/commands.h"
#include "flash/flash_target.h"
#include "unitdata/unit_mode.h"

namespace corv {

namespace {

constexpr int kAttempts = 20;
constexpr uint8_t kBlock = cmd::kOldFieldsLength;  // 128

// One read of a block at `address` into `out` (128 bytes).
bool ReadBlock(Link& link, uint32_t address, uint8_t* out) {
  Packet& p = link.packet;
  uint8_t data[kBlock];
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    p.BeginCommand(link.bootAddress, cmd::kReadOldFields.code);
    p.Append32(address);
    p.Append8(kBlock);
    p.SendPacket(link.Port(), cmd::kReadOldFields.request);
    p.ReceiveReply(link.Port(), cmd::kReadOldFields.reply);
    const bool header = p.ReplyHeaderIs(link.bootAddress, cmd::kReadOldFields.replyCode);
    const uint32_t echoed = p.ReadField(4);
    const uint32_t count = p.ReadField(1);
    for (uint8_t& b : data) b = p.NextReplyByte();
    if (p.CheckReply(link.Port()) && header && echoed == address && count == kBlock) {
      std::copy(data, data + kBlock, out);
      return true;
    }
  }
  return false;
}

bool WriteBlock(Link& link, uint32_t address, const uint8_t* data) {
  Packet& p = link.packet;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    p.BeginCommand(link.bootAddress, cmd::kWriteOldFields.code);
    p.Append32(address);
    p.Append8(kBlock);
    p.AppendBytes(data, kBlock);
    p.SendPacket(link.Port(), cmd::kWriteOldFields.request);
    p.ReceiveReply(link.Port(), cmd::kWriteOldFields.reply);
    const bool header = p.ReplyHeaderIs(link.bootAddress, cmd::kWriteOldFields.replyCode);
    const uint32_t echoed = p.ReadField(4);
    const uint32_t count = p.ReadField(1);
    const uint8_t status = static_cast<uint8_t>(p.ReadField(1));
    if (p.CheckReply(link.Port()) && header && echoed == address && count == kBlock) {
      // The unit says it could not store this block; the others still go.
      if (status != 0) link.ctx.Detail() << "Error:" << Hex{status, 2} << "\r\n";
      return true;
    }
  }
  return false;
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
