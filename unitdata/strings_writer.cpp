// Stop-and-wait and selective-acknowledgement writing of strings blocks.
#include "unitdata/strings_writer.h"

#include "link/commands.h"
#include "unitdata/strings_commands.h"

namespace corv {

namespace {
constexpr int kAttempts = 20;
}

StringsBlockWriter::StringsBlockWriter(Link& link, int window)
    : link_(link), overlapped_(window > 0), ring_(window > 0 ? window : 1) {}

bool StringsBlockWriter::Write(uint32_t offset, const uint8_t* data, uint8_t length) {
  if (!overlapped_) return WriteStringBlock(link_, offset, data, length);
  if (ring_.MustWait() && !CollectOne()) return false;
  SendStringBlock(link_, offset, data, length);
  ring_.Push(offset, data, length);
  return true;
}

bool StringsBlockWriter::Flush() {
  while (!ring_.Empty()) {
    if (!CollectOne()) return false;
  }
  return true;
}

// The tail's answer has come (now or earlier): its status decides, whichever
// reply carried it.
bool StringsBlockWriter::ReleaseTail() {
  const uint32_t offset = ring_.Tail().offset;
  const uint8_t status = ring_.Tail().status;
  ring_.Release();
  if (status != 0) {
    link_.ctx.Notice() << "\r\nUnit reported hardware failure, cannot write to flash drive. Address=$"
                       << Hex{offset, 8} << ", Result=" << Hex{status, 2} << "\r\n";
    return false;
  }
  return true;
}

bool StringsBlockWriter::CollectOne() {
  Packet& p = link_.packet;
  const cmd::Command& c = cmd::kWriteStringsBlock;
  if (ring_.Empty()) return true;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (ring_.Tail().acknowledged) return ReleaseTail();
    p.ReceiveReply(link_.Port(), c.reply);
    const bool header = p.ReplyHeaderIs(link_.bootAddress, c.replyCode);
    const uint32_t offset = p.ReadField(4);
    const uint32_t length = p.ReadField(1);
    const uint8_t status = static_cast<uint8_t>(p.ReadField(1));
    if (!p.CheckReply(link_.Port())) {
      DriveSlot& tail = ring_.Tail();
      SendStringBlock(link_, tail.offset, tail.data.data(), tail.length);
      link_.ctx.Detail() << "!";
      continue;
    }
    if (header) {
      for (int i = 0; i < ring_.Outstanding(); ++i) {
        DriveSlot& s = ring_.At(i);
        if (s.offset == offset && s.length == length && !s.acknowledged) {
          s.acknowledged = true;
          s.status = status;
          break;
        }
      }
      if (ring_.Tail().acknowledged) return ReleaseTail();
    }
    link_.ctx.Detail() << "!";
  }
  return false;
}

}  // namespace corv
