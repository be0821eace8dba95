// Stop-and-wait and go-back-N block writing of one flash-drive file.
#include "unitdata/file_writer.h"

#include "link/commands.h"
#include "link/exchange.h"
#include "unitdata/file_commands.h"

namespace corv {

namespace {
constexpr int kAttempts = 20;
}

FileBlockWriter::FileBlockWriter(Link& link, uint8_t file, int window)
    : link_(link), file_(file), overlapped_(window > 0), ring_(window > 0 ? window : 1) {}

bool FileBlockWriter::Write(uint32_t offset, const uint8_t* data, uint8_t length) {
  if (!overlapped_) return WriteFileBlock(link_, file_, offset, data, length);
  if (ring_.MustWait() && !CollectOne()) return false;
  SendFileBlock(link_, file_, offset, data, length);
  ring_.Push(offset, data, length);
  return true;
}

bool FileBlockWriter::Flush() {
  while (!ring_.Empty()) {
    if (!CollectOne()) return false;
  }
  return true;
}

void FileBlockWriter::ResendOutstanding() {
  for (int i = 0; i < ring_.Outstanding(); ++i) {
    DriveSlot& s = ring_.At(i);
    SendFileBlock(link_, file_, s.offset, s.data.data(), s.length);
  }
}

bool FileBlockWriter::CollectOne() {
  if (ring_.Empty()) return true;
  Exchange reply(link_, link_.bootAddress, cmd::kWriteFileBlock);
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    uint32_t f = 0, offset = 0;
    uint8_t status = 0;
    const Exchange::Received got = reply.Receive([&](ReplyFields& r) {
      f = r.U8();
      offset = r.U32();
      r.U8();  // length: not echoed per block in this mode
      status = r.U8();
      return true;
    });
    if (!got.intact) {
      // Nothing intact came back: the unit may have dropped a block, so every
      // block from the oldest on goes out again.
      ResendOutstanding();
      link_.ctx.Detail() << "!";
      continue;
    }
    // A cumulative acknowledgement counts only for a block that is actually
    // outstanding: from the oldest one to the newest sent. A late answer to a
    // block already released, or an offset never sent, proves nothing.
    if (!got.header || f != file_ || offset < ring_.Tail().offset || offset > ring_.Newest().offset) {
      link_.ctx.Detail() << "!";
      continue;
    }
    while (!ring_.Empty() && ring_.Tail().offset <= offset) ring_.Release();
    if (status != 0) {
      link_.ctx.Notice() << "\r\nUnit reported hardware failure, cannot write to flash drive. Address=$"
                         << Hex{offset, 8} << ", Result=" << Hex{status, 2} << "\r\n";
      return false;
    }
    return true;
  }
  return false;
}

}  // namespace corv
