// A scripted far end for the link tests: records what arrives and, once a
// request of the expected length is complete, answers with the bytes given.
#pragma once
#include <cstdint>
#include <vector>

#include "sim/virtual_line.h"
#include "tests/common/frames.h"

namespace corv::test {

class ScriptedEnd : public LineEnd {
 public:
  void OnByte(VirtualLine& line, uint64_t atUs, uint8_t byte) override {
    got.push_back(byte);
    lastAtUs = atUs;
    if (expect > 0 && ++pending == expect) {
      pending = 0;
      if (!reply.empty()) line.FarSend(atUs + delayUs, reply.data(), reply.size());
      ++answered;
    }
  }
  std::vector<uint8_t> got;
  uint64_t lastAtUs = 0;
  size_t expect = 0;  // request length that triggers a reply; 0 never answers
  size_t pending = 0;
  std::vector<uint8_t> reply;
  uint64_t delayUs = 0;
  int answered = 0;
};

using testing::Framed;

}  // namespace corv::test
