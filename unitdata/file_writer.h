// Writing a file's blocks to the flash drive, either one block at a time with
// a reply for each, or overlapped through the transfer ring: up to a window of
// blocks in flight, a reply acknowledging every block up to its offset, and a
// damaged reply making every block in flight go out again.
#pragma once
#include <cstdint>

#include "flash/transfer_ring.h"
#include "link/link.h"

namespace corv {

// Overlapped file blocks: a reply names the file and the offset of the last
// block the unit holds.
class FileOffsetsPolicy : public AckPolicy {
 public:
  FileOffsetsPolicy(Link& link, uint8_t file);
  Exchange Request(const RingBlock& b) override;
  void Read(ReplyFields& f, RingAck& a) override;
  int Covers(const TransferRing& ring, const RingAck& a) override;

 private:
  Link& link_;
  uint8_t file_;
};

class FileBlockWriter {
 public:
  // window 0: stop-and-wait; otherwise overlapped with that many blocks in flight.
  FileBlockWriter(Link& link, uint8_t file, int window);

  // Writes (or queues) one block of at most 128 bytes.
  bool Write(uint32_t offset, const uint8_t* data, uint8_t length);
  // Collects acknowledgements until no block is outstanding.
  bool Flush() { return ring_.Drain(); }

  int Outstanding() const { return ring_.InFlight(); }

 private:
  Link& link_;
  uint8_t file_;
  bool overlapped_;
  FileOffsetsPolicy policy_;
  TransferRing ring_;
};

}  // namespace corv
