// Stop-and-wait and overlapped block writing of one flash-drive file.
#include "unitdata/file_writer.h"

#include "unitdata/file_commands.h"

namespace corv {

FileOffsetsPolicy::FileOffsetsPolicy(Link& link, uint8_t file)
    : AckPolicy({.scheme = Scheme::Cumulative, .resendAll = true, .memory = "flash drive"}), link_(link), file_(file) {}

Exchange FileOffsetsPolicy::Request(const RingBlock& b) {
  return FileBlockRequest(link_, file_, b.address, b.data, static_cast<uint8_t>(b.length));
}

void FileOffsetsPolicy::Read(ReplyFields& f, RingAck& a) {
  a.file = f.U8();
  a.address = f.U32();
  f.U8();  // length: not echoed per block in this mode
  a.status = f.U8();
}

// An acknowledgement counts only for a block that is actually in flight: from
// the oldest one to the newest sent. A late answer to a block already
// released, or an offset never sent, proves nothing.
int FileOffsetsPolicy::Covers(const TransferRing& ring, const RingAck& a) {
  if (ring.Empty() || a.file != file_ || a.address < ring.Head().address || a.address > ring.Newest().address) {
    return 0;
  }
  int n = 0;
  while (n < ring.InFlight() && ring.InFlightAt(n).address <= a.address) ++n;
  return n;
}

FileBlockWriter::FileBlockWriter(Link& link, uint8_t file, int window)
    : link_(link), file_(file), overlapped_(window > 0), policy_(link, file), ring_(link, policy_, window) {}

bool FileBlockWriter::Write(uint32_t offset, const uint8_t* data, uint8_t length) {
  if (!overlapped_) return WriteFileBlock(link_, file_, offset, data, length);
  return ring_.Write(offset, data, length);
}

}  // namespace corv
