// Small helpers shared by the boot-loader and flash operations: one exchange
// whose request and reply carry nothing after the header, and the "!" that a
// failed attempt of a bulk transfer leaves on the detail stream.
#pragma once
#include <cstdint>

#include "link/commands.h"
#include "link/link.h"

namespace corv {

// Sends the bare command to `address` and reads its bare reply: true when it
// passed the frame check and echoed address, function and code.
inline bool BareExchange(Link& link, uint8_t address, const cmd::Command& c) {
  Packet& p = link.packet;
  p.BeginCommand(address, c.code);
  p.SendPacket(link.Port(), c.RequestLength());
  p.ReceiveReply(link.Port(), c.ReplyLength());
  const bool header = p.ReplyHeaderIs(address, c.replyCode);
  return p.CheckReply(link.Port()) && header;
}

inline void FailedAttempt(Context& ctx) { ctx.Detail() << "!"; }

}  // namespace corv
