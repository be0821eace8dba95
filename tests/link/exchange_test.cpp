// The request/reply exchange against a scripted far end: what goes on the
// line, how replies are judged, and the retry policies (attempt counts, "!"
// marks, reading on after a late reply, Escape).
#include "link/exchange.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/common/frame_script.h"
#include "tests/link/far_end.h"
#include "tests/link/link_rig.h"

namespace corv::test {
namespace {

using Bytes = std::vector<uint8_t>;

struct ExchangeRig : Rig {
  ExchangeRig() {
    ctx.settings.baudRate = 115200;
    VirtualLine& line = UseCom(1);
    line.SetFarLine(115200, false);
    end.length = 6;
    line.Attach(&end);
    MakeLink();
    link->LockAndOpenPort(Link::normalTimeoutMs);
  }
  // Lets the far end see everything sent so far.
  void Settle() {
    clock.SleepMs(20);
    link->Port()->CtsOn();
  }
  size_t Marks() const { return testing::Count(Out(), "!"); }
  testing::FrameScript end;
};

TEST(Exchange, FramesOnTheLine) {
  ExchangeRig rig;
  // The quick response request to 240 and its reply under function 0x42.
  rig.end.length = 4;
  rig.end.handler = [](const Bytes& f, uint64_t) { return std::vector<Bytes>{{f[0], 0x42}}; };
  EXPECT_TRUE(Exchange::Quick(*rig.link, 240).Run(Tries{}));
  EXPECT_EQ(rig.end.frames.at(0), (Bytes{0xF0, 0x41, 0x85, 0x80}));

  // A reply under the request's own function is not the quick reply.
  rig.end.handler = [](const Bytes& f, uint64_t) { return std::vector<Bytes>{{f[0], 0x41}}; };
  EXPECT_FALSE(Exchange::Quick(*rig.link, 240).Run(Tries{}));

  // Parameters most significant byte first, the data block counted in the
  // request length of the table.
  ExchangeRig ram;
  ram.end.length = 9 + 3 + 2;
  uint32_t echoed = 0;
  ram.end.handler = [](const Bytes& f, uint64_t) { return std::vector<Bytes>{Bytes(f.begin(), f.begin() + 9)}; };
  const uint8_t data[3] = {0xAA, 0xBB, 0xCC};
  Exchange x(*ram.link, 1, cmd::kWriteRam);
  EXPECT_TRUE(x.U32(0x10203040).U8(3).Data(data, 3).Run(Tries{}, [&](ReplyFields& r) {
    echoed = r.U32();
    return r.U8() == 3;
  }));
  EXPECT_EQ(echoed, 0x10203040u);
  EXPECT_EQ(ram.end.frames.at(0), Framed({1, 0x45, 0x10, 0x20, 0x10, 0x20, 0x30, 0x40, 3, 0xAA, 0xBB, 0xCC}));

  // A text as its characters; 16-bit numbers most significant byte first.
  ram.end.length = 11;
  ram.end.handler = [](const Bytes& f, uint64_t) { return std::vector<Bytes>{Bytes(f.begin(), f.begin() + 4)}; };
  EXPECT_TRUE(Exchange(*ram.link, 1, cmd::kClearChip).Text("erase").Run(Tries{}));
  EXPECT_EQ(ram.end.frames.at(1), Framed({1, 0x45, 0x10, 0x34, 'e', 'r', 'a', 's', 'e'}));
  ram.end.length = 7;
  EXPECT_FALSE(Exchange(*ram.link, 1, cmd::kSetBaudRate).U16(0x0A0B).Run(Tries{}));
  EXPECT_NE(ram.Out().find("ERROR: SendPacket(5): Write size error:6"), std::string::npos)
      << "a request longer than the table's is not sent";
}

TEST(Exchange, WhatAReplyMustBe) {
  struct Case {
    const char* name;
    Bytes reply;
    bool parseAgrees;
    bool good;
  } cases[] = {
      {"echo of address, function and code", {1, 0x45, 0x10, 0x91, 0x02, 0x00}, true, true},
      {"another address", {2, 0x45, 0x10, 0x91, 0x02, 0x00}, true, false},
      {"another code", {1, 0x45, 0x10, 0x90, 0x02, 0x00}, true, false},
      {"fields that answer another request", {1, 0x45, 0x10, 0x91, 0x02, 0x00}, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ExchangeRig rig;
    rig.end.handler = [&](const Bytes&, uint64_t) { return std::vector<Bytes>{c.reply}; };
    uint16_t size = 0;
    bool accepted = false;
    Exchange x(*rig.link, 1, cmd::kGetBufferSize);
    const bool ok = x.Run(
        Tries{}, [&](ReplyFields& r) {
          size = r.U16();
          return c.parseAgrees;
        },
        [&] { return accepted = true; });
    EXPECT_EQ(ok, c.good);
    EXPECT_EQ(accepted, c.good) << "accept is asked only about a good reply";
    EXPECT_EQ(size, 0x0200);
  }
  {
    // A reply whose payload is longer than the fields read fails the check.
    ExchangeRig rig;
    rig.end.handler = [](const Bytes&, uint64_t) { return std::vector<Bytes>{{1, 0x45, 0x10, 0x91, 2, 0}}; };
    EXPECT_FALSE(Exchange(*rig.link, 1, cmd::kGetBufferSize).Run(Tries{}));
    EXPECT_NE(rig.Out().find("READ(4): SIZE ERROR:6"), std::string::npos);
  }
}

TEST(Exchange, AttemptsAndMarks) {
  {
    // Silence: every attempt sends the request anew; marks only when asked.
    ExchangeRig rig;
    Exchange x(*rig.link, 1, cmd::kResetUnit);
    EXPECT_FALSE(x.Run(Tries{20}));
    EXPECT_EQ(rig.end.frames.size(), 20u);
    EXPECT_EQ(x.Attempts(), 20);
    EXPECT_EQ(rig.Marks(), 0u);
    EXPECT_FALSE(Exchange(*rig.link, 1, cmd::kResetUnit).Run(Tries{3, true}));
    EXPECT_EQ(rig.end.frames.size(), 23u);
    EXPECT_EQ(rig.Marks(), 3u);
  }
  {
    // The third request is answered: two marks, three attempts.
    ExchangeRig rig;
    rig.end.handler = [&rig](const Bytes&, uint64_t) {
      return rig.end.frames.size() == 3 ? std::vector<Bytes>{{1, 0x45, 0x10, 0x32}} : std::vector<Bytes>{};
    };
    Exchange x(*rig.link, 1, cmd::kResetUnit);
    EXPECT_TRUE(x.Run(Tries{20, true}));
    EXPECT_EQ(x.Attempts(), 3);
    EXPECT_EQ(rig.Marks(), 2u);
  }
}

// A reply that echoes another request (a late one) is intact: with
// readAfterLate the next attempt only reads, and the request's own reply,
// queued behind, is taken without sending again.
TEST(Exchange, ReadingOnAfterALateReply) {
  for (bool readAfterLate : {false, true}) {
    SCOPED_TRACE(readAfterLate);
    ExchangeRig rig;
    rig.end.length = 10;
    rig.end.handler = [&rig](const Bytes& f, uint64_t) {
      std::vector<Bytes> r;
      if (rig.end.frames.size() == 1) r.push_back({1, 0x45, 0x10, 0x53, 7});  // late, with another's result
      r.push_back({1, 0x45, 0x10, 0x53, f[7]});
      return r;
    };
    uint8_t result = 0;
    Exchange x(*rig.link, 1, cmd::kPreserveManufacturingFields);
    x.U32(5);
    const Tries tries{.attempts = 5, .marks = true, .readAfterLate = readAfterLate};
    EXPECT_TRUE(x.Run(tries, [&](ReplyFields& r) { return (result = r.U8()) == 5; }));
    rig.Settle();
    EXPECT_EQ(rig.end.frames.size(), readAfterLate ? 1u : 2u);
    EXPECT_EQ(x.Attempts(), 2);
    EXPECT_EQ(rig.Marks(), 1u);
  }
}

TEST(Exchange, EscapeEndsAnEscapableExchange) {
  ExchangeRig rig;
  rig.ctx.settings.yesToPrompts = true;
  rig.console.Press(27);
  int status = -1;
  try {
    Exchange(*rig.link, 1, cmd::kVersions).Run(Tries{.attempts = 20, .escapable = true});
  } catch (const RunExit& e) {
    status = e.status;
  }
  EXPECT_EQ(status, 1);
  EXPECT_NE(rig.Out().find("Fatal Error: Aborted"), std::string::npos);
  EXPECT_TRUE(rig.end.frames.empty());
}

}  // namespace
}  // namespace corv::test
