// Reader of an image stream, the stored form of every programmer, boot-loader and
// software payload (all numbers big-endian):
//   start address (32), total length (32),
//   records: address (32), n (16), n data bytes, ...
//   end marker: 0xFFFFFFFF in the address position (no length follows).
// The reader is a byte source positioned at the stream's first byte. It can be
// read byte by byte (Get) or field by field; both share one position. It never
// reads past the block it was given: a stream cut short ends the records as the
// end marker would, and Broken() tells the two apart.
#pragma once
#include <cstddef>
#include <cstdint>

#include "support/stream.h"

namespace corv {

inline constexpr uint32_t kImageEndMarker = 0xFFFFFFFF;

struct ImageRecord {
  uint32_t address = 0;
  uint16_t length = 0;
  const uint8_t* data = nullptr;  // `length` bytes inside the stream
};

class ImageStream : public InStream {
 public:
  // `size` bounds the reader to the block holding the stream.
  ImageStream(const uint8_t* first, size_t size) : first_(first), size_(size) {}

  // The next byte (0..255), or -1 at the end of the block or after the end
  // marker has been read by NextRecord.
  int Get() override;

  // Header fields; each reads the next four bytes, so call them first, in order.
  uint32_t ReadStartAddress() { return Read32(); }
  uint32_t ReadTotalLength() { return Read32(); }

  // Reads the next record header and steps over its data. False at the end
  // marker (which is then consumed) or when the block ends before a whole
  // record; after that every call gives false.
  bool NextRecord(ImageRecord& record);

  // Bytes consumed so far; after the end marker, the stream's size.
  size_t Position() const { return pos_; }
  bool Ended() const { return ended_; }     // the end marker was read
  bool Broken() const { return broken_; }   // the block ended inside a field or record

 private:
  uint32_t Read32();
  uint16_t Read16();
  bool Has(size_t n) const { return size_ - pos_ >= n; }

  const uint8_t* first_;
  size_t size_;
  size_t pos_ = 0;
  bool ended_ = false;
  bool broken_ = false;
};

}  // namespace corv
