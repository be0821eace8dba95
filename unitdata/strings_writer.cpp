// Stop-and-wait and selective-acknowledgement writing of strings blocks.
#include "unitdata/strings_writer.h"

#include "link/commands.h"
#include "link/exchange.h"
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
  if (ring_.Empty()) return true;
  Exchange reply(link_, link_.bootAddress, cmd::kWriteStringsBlock);
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (ring_.Tail().acknowledged) return ReleaseTail();
    uint32_t offset = 0, length = 0;
    uint8_t status = 0;
    const Exchange::Received got = reply.Receive([&](ReplyFields& r) {
      offset = r.U32();
      length = r.U8();
      status = r.U8();
      return true;
    });
    if (!got.intact) {
      DriveSlot& tail = ring_.Tail();
      SendStringBlock(link_, tail.offset, tail.data.data(), tail.length);
      link_.ctx.Detail() << "!";
      continue;
    }
    if (got.header) {
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
