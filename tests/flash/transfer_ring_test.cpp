// The transfer ring under a test policy over write-RAM frames: the window and
// its 8-block limit, selective and cumulative acknowledgement, and what goes
// out again after a damaged reply.
#include "flash/transfer_ring.h"

#include <map>
#include <optional>

#include "tests/flash/flash_rig.h"

namespace corv::test {
namespace {

class TestPolicy : public AckPolicy {
 public:
  TestPolicy(Link& link, Rules rules) : AckPolicy(rules), link_(link) {}
  Exchange Request(const RingBlock& b) override {
    Exchange x(link_, 1, cmd::kWriteRam);
    x.U32(b.address).U8(static_cast<uint8_t>(b.length)).Data(b.data, b.length);
    return x;
  }
  void Read(ReplyFields& f, RingAck& a) override {
    a.address = f.U32();
    a.length = f.U8();
  }
  bool Answers(const RingBlock& b, const RingAck& a) override { return a.address == b.address; }
  // Every block up to the address named, when it is in flight.
  int Covers(const TransferRing& ring, const RingAck& a) override {
    if (a.address < ring.Head().address || a.address > ring.Newest().address) return 0;
    int n = 0;
    while (n < ring.InFlight() && ring.InFlightAt(n).address <= a.address) ++n;
    return n;
  }

 private:
  Link& link_;
};

constexpr AckPolicy::Rules kSelective{.scheme = AckPolicy::Scheme::Selective, .memory = "RAM"};
constexpr AckPolicy::Rules kCumulative{.scheme = AckPolicy::Scheme::Cumulative, .resendAll = true, .memory = "RAM"};

struct RingRig : Rig {
  RingRig() {
    Open();
    BootLoaderUnit();
  }
  // Sends of the block at `address`.
  size_t SendsOf(uint32_t address) const {
    size_t n = 0;
    for (const Frame& f : unit.Of(0x1020)) n += f.At(4, 4) == address;
    return n;
  }
  const uint8_t data[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
};

TEST(TransferRing, WindowAndTheEightBlockLimit) {
  // The window asked for, and the one the ring keeps: at least one block, at most eight.
  for (const auto& [window, expected] : {std::pair{0, 1}, {1, 1}, {2, 2}, {8, 8}, {20, 8}}) {
    SCOPED_TRACE(window);
    RingRig rig;
    TestPolicy policy(rig.link, kSelective);
    TransferRing ring(rig.link, policy, window);
    EXPECT_EQ(ring.Window(), expected);
    for (uint32_t i = 0; i < 12; ++i) {
      ASSERT_TRUE(ring.Write(i * 16, rig.data, 16));
      EXPECT_EQ(ring.InFlight(), std::min<int>(static_cast<int>(i) + 1, expected));
    }
    EXPECT_TRUE(ring.Drain());
    EXPECT_TRUE(ring.Empty());
    EXPECT_EQ(rig.unit.count[0x1020], 12);
    EXPECT_EQ(rig.CountOf("!"), 0u);
  }
}

// A reply ahead of the head's marks its block; the head's own reply then frees
// both, and nothing is sent again.
TEST(TransferRing, SelectiveRepliesInAnyOrder) {
  RingRig rig;
  std::optional<Frame> held;
  rig.unit.intercept = [&](const Frame& f) {
    if (f.At(4, 4) == 0) {
      held = f;
      return true;
    }
    rig.unit.Echo(f, 9);
    if (held) {
      held->atUs = f.atUs + 1000;  // behind the reply to the later block
      rig.unit.Echo(*held, 9);
      held.reset();
    }
    return true;
  };
  TestPolicy policy(rig.link, kSelective);
  TransferRing ring(rig.link, policy, 2);
  ASSERT_TRUE(ring.Write(0, rig.data, 16));
  ASSERT_TRUE(ring.Write(16, rig.data, 16));
  EXPECT_TRUE(ring.Drain());
  EXPECT_EQ(rig.SendsOf(0), 1u);
  EXPECT_EQ(rig.SendsOf(16), 1u);
  EXPECT_EQ(rig.CountOf("!"), 1u) << "the reply ahead of the head is one failed wait";
}

// One reply for the newest block frees every block before it.
TEST(TransferRing, CumulativeReplyFreesEveryBlockUpToIt) {
  RingRig rig;
  rig.unit.intercept = [&](const Frame& f) {
    if (f.At(4, 4) == 32) rig.unit.Echo(f, 9);
    return true;
  };
  TestPolicy policy(rig.link, kCumulative);
  TransferRing ring(rig.link, policy, 8);
  for (uint32_t a : {0u, 16u, 32u}) ASSERT_TRUE(ring.Write(a, rig.data, 16));
  EXPECT_TRUE(ring.Drain());
  EXPECT_EQ(rig.unit.count[0x1020], 3);
  EXPECT_EQ(rig.CountOf("!"), 0u);
}

// The first send of the head gets a damaged reply (or an intact one from
// another address), the first send of the next block none; every later send
// is answered. What goes out again after the first reply decides how many
// waits fail: sending every block in flight again gets both answers at once,
// sending the head alone leaves the next block's wait to fail once more.
TEST(TransferRing, WhatGoesOutAgain) {
  using Rules = AckPolicy::Rules;
  constexpr auto kCum = AckPolicy::Scheme::Cumulative;
  struct Case {
    const char* name;
    Rules rules;
    bool foreign;
    size_t failedWaits;
  } cases[] = {
      {"damaged, every block again", Rules{.scheme = kCum, .resendAll = true}, false, 1},
      {"damaged, the head again", Rules{.scheme = kCum}, false, 2},
      {"foreign, nothing sent", Rules{.scheme = kCum}, true, 3},
      {"foreign, the head again", Rules{.scheme = kCum, .resendOnForeign = true}, true, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RingRig rig;
    std::map<uint32_t, int> sends;
    rig.unit.intercept = [&](const Frame& f) {
      const uint32_t address = f.At(4, 4);
      const int n = ++sends[address];
      if (n == 1 && address == 16) return true;
      std::vector<uint8_t> r(f.bytes.begin(), f.bytes.begin() + 9);
      if (n == 1 && c.foreign) r[0] = 7;
      if (n == 1 && !c.foreign) rig.unit.corruptNext = true;
      rig.unit.Reply(f, r);
      return true;
    };
    TestPolicy policy(rig.link, c.rules);
    TransferRing ring(rig.link, policy, 8);
    ASSERT_TRUE(ring.Write(0, rig.data, 16));
    ASSERT_TRUE(ring.Write(16, rig.data, 16));
    EXPECT_TRUE(ring.Drain());
    EXPECT_EQ(sends[0], 2);
    EXPECT_EQ(sends[16], 2);
    EXPECT_EQ(rig.CountOf("!"), c.failedWaits);
  }
}

}  // namespace
}  // namespace corv::test
