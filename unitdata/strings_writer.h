// Writing blocks of the strings file, either one block at a time with a reply
// for each, or overlapped through the transfer ring with selective
// acknowledgement: a reply that names a later block marks that block (keeping
// its status) until the oldest block is answered, and a damaged reply makes
// only the oldest block go out again.
#pragma once
#include <cstdint>

#include "flash/transfer_ring.h"
#include "link/link.h"

namespace corv {

// Overlapped strings blocks: a reply names one block by offset and length.
class StringsOffsetsPolicy : public AckPolicy {
 public:
  explicit StringsOffsetsPolicy(Link& link);
  Exchange Request(const RingBlock& b) override;
  void Read(ReplyFields& f, RingAck& a) override;
  bool Answers(const RingBlock& b, const RingAck& a) override;

 private:
  Link& link_;
};

class StringsBlockWriter {
 public:
  // window 0: stop-and-wait; otherwise overlapped with that many blocks in flight.
  StringsBlockWriter(Link& link, int window);

  bool Write(uint32_t offset, const uint8_t* data, uint8_t length);
  // Collects acknowledgements until no block is outstanding.
  bool Flush() { return ring_.Drain(); }

 private:
  Link& link_;
  bool overlapped_;
  StringsOffsetsPolicy policy_;
  TransferRing ring_;
};

}  // namespace corv
