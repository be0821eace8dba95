// Writing a file's blocks to the flash drive, either one block at a time with
// a reply for each, or overlapped: up to a window of blocks in flight, replies
// collected later and taken as cumulative acknowledgements (go-back-N: a lost
// reply makes every outstanding block go out again).
#pragma once
#include <cstdint>

#include "link/link.h"
#include "unitdata/drive_ring.h"

namespace corv {

class FileBlockWriter {
 public:
  // window 0: stop-and-wait; otherwise overlapped with that many blocks in flight.
  FileBlockWriter(Link& link, uint8_t file, int window);

  // Writes (or queues) one block of at most 128 bytes.
  bool Write(uint32_t offset, const uint8_t* data, uint8_t length);
  // Collects acknowledgements until no block is outstanding.
  bool Flush();

  int Outstanding() const { return ring_.Outstanding(); }

 private:
  bool CollectOne();
  void ResendOutstanding();

  Link& link_;
  uint8_t file_;
  bool overlapped_;
  DriveRing ring_;
};

}  // namespace corv
