// Stop-and-wait and overlapped writing of strings blocks.
#include "unitdata/strings_writer.h"

#include "unitdata/strings_commands.h"

namespace corv {

StringsOffsetsPolicy::StringsOffsetsPolicy(Link& link)
    : AckPolicy({.scheme = Scheme::Selective, .memory = "flash drive"}), link_(link) {}

Exchange StringsOffsetsPolicy::Request(const RingBlock& b) {
  return StringBlockRequest(link_, b.address, b.data, static_cast<uint8_t>(b.length));
}

void StringsOffsetsPolicy::Read(ReplyFields& f, RingAck& a) {
  a.address = f.U32();
  a.length = f.U8();
  a.status = f.U8();
}

bool StringsOffsetsPolicy::Answers(const RingBlock& b, const RingAck& a) {
  return a.address == b.address && a.length == b.length;
}

StringsBlockWriter::StringsBlockWriter(Link& link, int window)
    : link_(link), overlapped_(window > 0), policy_(link), ring_(link, policy_, window) {}

bool StringsBlockWriter::Write(uint32_t offset, const uint8_t* data, uint8_t length) {
  if (!overlapped_) return WriteStringBlock(link_, offset, data, length);
  return ring_.Write(offset, data, length);
}

}  // namespace corv
