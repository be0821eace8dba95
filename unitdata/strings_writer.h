// Writing blocks of the strings file, either one block at a time with a reply
// for each, or overlapped with selective acknowledgement: a reply that names a
// later block marks that block (keeping its status) until the oldest block is
// answered, and a lost reply makes only the oldest block go out again.
#pragma once
#include <cstdint>

#include "link/link.h"
#include "unitdata/drive_ring.h"

namespace corv {

class StringsBlockWriter {
 public:
  // window 0: stop-and-wait; otherwise overlapped with that many blocks in flight.
  StringsBlockWriter(Link& link, int window);

  bool Write(uint32_t offset, const uint8_t* data, uint8_t length);
  // Collects acknowledgements until no block is outstanding.
  bool Flush();

  int Outstanding() const { return ring_.Outstanding(); }

 private:
  bool CollectOne();
  bool ReleaseTail();

  Link& link_;
  bool overlapped_;
  DriveRing ring_;
};

}  // namespace corv
