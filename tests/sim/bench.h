// A test bench for the unit model alone: requests are fed byte by byte at the
// unit's rate, replies are collected from a recording wire.
#pragma once
#include <gtest/gtest.h>

#include <vector>

#include "link/crc16.h"
#include "tests/common/frames.h"
#include "sim/unit_model.h"

namespace corv::sim::test {

using testing::Framed;
using testing::Get32;
using testing::Put16;
using testing::Put32;
using testing::Put8;

// address, 0x45, code, then big-endian parameters appended by the caller.
inline std::vector<uint8_t> Cmd(uint8_t address, uint16_t code) {
  return {address, 0x45, static_cast<uint8_t>(code >> 8), static_cast<uint8_t>(code)};
}

struct RecordingWire : UnitWire {
  struct Sent {
    uint64_t atUs;
    std::vector<uint8_t> bytes;
  };
  std::vector<Sent> sent;
  int32_t baud = 0;
  bool parity = false;
  bool cts = false;
  int flushes = 0;
  void Send(uint64_t atUs, const uint8_t* d, size_t n) override { sent.push_back({atUs, {d, d + n}}); }
  void SetCts(uint64_t, bool on) override { cts = on; }
  void Listen(uint64_t, int32_t b, bool p) override {
    baud = b;
    parity = p;
  }
  void Flush(uint64_t) override { ++flushes; }
};

struct Bench {
  explicit Bench(const UnitProfile& p) : unit(p) { unit.Attach(&wire, now); }

  // Feeds raw bytes back to back at the unit's rate; returns what it sent
  // meanwhile and moves time past its answers.
  std::vector<uint8_t> Feed(const std::vector<uint8_t>& bytes) {
    wire.sent.clear();
    const uint64_t byteUs = 11000000 / static_cast<uint64_t>(wire.baud > 0 ? wire.baud : 9600) + 1;
    for (uint8_t b : bytes) {
      now += byteUs;
      unit.OnByte(now, b);
    }
    std::vector<uint8_t> out;
    for (const auto& s : wire.sent) {
      out.insert(out.end(), s.bytes.begin(), s.bytes.end());
      now = std::max(now, s.atUs + s.bytes.size() * byteUs);
    }
    now += 2000;
    unit.Advance(now);
    return out;
  }
  // Sends a frame (check appended) and returns the reply without its check;
  // empty when nothing came back, or the reply failed its check.
  std::vector<uint8_t> Ask(const std::vector<uint8_t>& frame) {
    std::vector<uint8_t> r = Feed(Framed(frame));
    if (r.size() < 2 || Crc16(r.data(), r.size()) != 0) return r.empty() ? r : std::vector<uint8_t>{0xEE};
    r.resize(r.size() - 2);
    return r;
  }
  void Wait(uint64_t us) {
    now += us;
    unit.Advance(now);
  }
  UnitModel unit;
  RecordingWire wire;
  uint64_t now = 1000;
};

// Resets the software into its boot loader.
inline void ToBootLoader(Bench& b) {
  ASSERT_EQ(b.Ask(Cmd(b.unit.Profile().address, 0x1011)).size(), 4u);
  b.Wait(20000);
  ASSERT_EQ(b.unit.Mode(), UnitMode::BootLoader);
}

// Downloads a small program to RAM and starts it at `entry`.
inline void StartProgrammer(Bench& b, uint32_t entry = 0x40000200) {
  ToBootLoader(b);
  for (uint32_t a : {0x40000000u, 0x40000080u, 0x40000200u}) {
    std::vector<uint8_t> w = Cmd(1, 0x1020);
    Put32(w, a);
    Put8(w, 128);
    for (int i = 0; i < 128; ++i) Put8(w, static_cast<uint32_t>(a + i));
    ASSERT_EQ(b.Ask(w).size(), 9u);
  }
  std::vector<uint8_t> run = Cmd(1, 0x1022);
  Put32(run, entry);
  ASSERT_EQ(b.Ask(run).size(), 4u);
  b.Wait(1000);
}

}  // namespace corv::sim::test
