// The strings-area commands.
#include "unitdata/strings_commands.h"

#include "link/commands.h"
#include "unitdata/drive_ring.h"
#include "unitdata/unit_mode.h"

namespace corv {

namespace {
constexpr int kAttempts = 20;
}

bool GetStringFileAttributes(Link& link, StringsAttributes& attributes) {
  Context& ctx = link.ctx;
  Packet& p = link.packet;
  const cmd::Command& c = cmd::kGetStringsAttributes;
  ctx.Detail() << "GetStringFileAttributes\r\n";
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    p.BeginCommand(link.bootAddress, c.code);
    p.SendPacket(link.Port(), c.request);
    p.ReceiveReply(link.Port(), c.reply);
    const bool header = p.ReplyHeaderIs(link.bootAddress, c.replyCode);
    StringsAttributes a;
    a.eepromStatus = static_cast<uint8_t>(p.ReadField(1));
    a.size = p.ReadField(4);
    a.identWord = p.ReadField(4);
    a.magic = static_cast<uint16_t>(p.ReadField(2));
    a.identHalf = static_cast<uint16_t>(p.ReadField(2));
    if (p.CheckReply(link.Port()) && header) {
      ctx.Detail() << "OK - GetStringFileAttributes:" << Hex{a.eepromStatus, 2} << "\r\n";
      attributes = a;
      return true;
    }
  }
  return false;
}

void SendStringBlock(Link& link, uint32_t offset, const uint8_t* data, uint8_t length) {
  Packet& p = link.packet;
  p.BeginCommand(link.bootAddress, cmd::kWriteStringsBlock.code);
  p.Append32(offset);
  p.Append8(length);
  p.AppendBytes(data, length);
  p.SendPacket(link.Port(), cmd::kWriteStringsBlock.RequestLength(length));
}

bool WriteStringBlock(Link& link, uint32_t offset, const uint8_t* data, uint8_t length) {
  Packet& p = link.packet;
  const cmd::Command& c = cmd::kWriteStringsBlock;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    SendStringBlock(link, offset, data, length);
    p.ReceiveReply(link.Port(), c.reply);
    const bool header = p.ReplyHeaderIs(link.bootAddress, c.replyCode);
    const uint32_t o = p.ReadField(4);
    const uint32_t n = p.ReadField(1);
    const uint8_t status = static_cast<uint8_t>(p.ReadField(1));
    if (p.CheckReply(link.Port()) && header && o == offset && n == length) {
      if (status != 0) {
        TextStream t;
        t << "Error writing to file:" << Hex{status, 2};
        Fatal(link.ctx, t.Text());
      }
      return true;
    }
    link.ctx.Detail() << "!";
  }
  return false;
}

bool ReadStringBlock(Link& link, uint32_t offset, const uint8_t* expected, uint8_t length) {
  Packet& p = link.packet;
  const cmd::Command& c = cmd::kReadStringsBlock;
  uint8_t got[kDriveBlockSize];
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    p.BeginCommand(link.bootAddress, c.code);
    p.Append32(offset);
    p.Append8(length);
    p.SendPacket(link.Port(), c.request);
    p.ReceiveReply(link.Port(), c.ReplyLength(length));
    const bool header = p.ReplyHeaderIs(link.bootAddress, c.replyCode);
    const uint32_t o = p.ReadField(4);
    const uint32_t n = p.ReadField(1);
    for (uint8_t i = 0; i < length; ++i) got[i] = p.NextReplyByte();
    // Compared only once the frame is known to be intact and to answer this
    // request: a byte damaged on the line is asked for again.
    if (p.CheckReply(link.Port()) && header && o == offset && n == length) {
      CompareReadBack(link.ctx, offset, got, expected, length);
      return true;
    }
    link.ctx.Detail() << "!";
  }
  return false;
}

}  // namespace corv
