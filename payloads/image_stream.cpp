// Image-stream reading, bounded by the block that holds the stream.
#include "payloads/image_stream.h"

namespace corv {

int ImageStream::Get() {
  if (ended_ || !Has(1)) return -1;
  return first_[pos_++];
}

uint32_t ImageStream::Read32() {
  if (!Has(4)) {
    broken_ = true;
    pos_ = size_;
    return kImageEndMarker;
  }
  const uint8_t* p = first_ + pos_;
  pos_ += 4;
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}

uint16_t ImageStream::Read16() {
  if (!Has(2)) {
    broken_ = true;
    pos_ = size_;
    return 0;
  }
  const uint8_t* p = first_ + pos_;
  pos_ += 2;
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

bool ImageStream::NextRecord(ImageRecord& record) {
  if (ended_ || broken_) return false;
  uint32_t address = Read32();
  if (broken_) return false;
  if (address == kImageEndMarker) {
    ended_ = true;
    return false;
  }
  uint16_t length = Read16();
  if (broken_ || !Has(length)) {
    broken_ = true;
    pos_ = size_;
    return false;
  }
  record.address = address;
  record.length = length;
  record.data = first_ + pos_;
  pos_ += length;
  return true;
}

}  // namespace corv
