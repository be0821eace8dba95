// The packet layer over a virtual line with a scripted far end.
#include "link/packet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "link/commands.h"
#include "link/crc16.h"
#include "sim/virtual_line.h"
#include "platform/console.h"
#include "tests/common/scratch.h"
#include "tests/link/far_end.h"

namespace corv {
namespace {

using test::Framed;

using testing::Count;

std::string Hexes(const std::vector<uint8_t>& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string t;
  for (uint8_t b : bytes) {
    if (!t.empty()) t += ' ';
    t += digits[b >> 4];
    t += digits[b & 15];
  }
  return t;
}

class PacketTest : public ::testing::Test, public testing::FakeRun {
 protected:
  void SetUp() override {
    line.Attach(&end);
    line.SetFarLine(115200, false);
    ctx.settings.debugOn = true;
    ctx.settings.detailedDebug = true;
    ctx.settings.traceEnabled = true;
    OpenResult r;
    port = driver.Open(1, LineSettings{115200, 2, false, false, false}, 100, r);
    ASSERT_TRUE(port);
  }
  // Lets the far end see everything sent so far.
  void Settle() {
    clock.SleepMs(20);
    port->CtsOn();
  }
  // Sends 0x1012 to the boot address and receives its 5-byte reply.
  void Exchange1012() {
    packet.BeginCommand(cmd::kBootAddress, 0x1012);
    packet.SendPacket(port.get(), cmd::kBootLoaderResponse.request);
    packet.ReceiveReply(port.get(), cmd::kBootLoaderResponse.reply);
  }
  const std::string& Out() { return console.Output(); }

  VirtualPortDriver driver{clock};
  VirtualLine& line = driver.AddLine(1);
  test::ScriptedEnd end;
  std::unique_ptr<SerialPort> port;
  Packet packet{ctx};
  const std::vector<uint8_t> reply1012 = Framed({0x01, 0x45, 0x10, 0x12, 0x35});
};

TEST_F(PacketTest, FrameCheckVectorsAndSingleBitProperty) {
  const uint8_t request[] = {0x01, 0x45, 0x10, 0x12};
  EXPECT_EQ(Crc16(request, 4), 0xC09D);  // travels as 9D C0

  packet.BeginCommand(1, 0x1012);
  packet.SendPacket(port.get(), 4);
  packet.BeginQuick(240);
  packet.SendPacket(port.get(), cmd::kQuickRequestLength);
  Settle();
  EXPECT_EQ(end.got, (std::vector<uint8_t>{0x01, 0x45, 0x10, 0x12, 0x9D, 0xC0, 0xF0, 0x41, 0x85, 0x80}));

  uint32_t seed = 7;
  for (size_t len = 1; len <= 40; ++len) {
    std::vector<uint8_t> body(len);
    for (auto& b : body) b = static_cast<uint8_t>((seed = seed * 1103515245 + 12345) >> 16);
    std::vector<uint8_t> frame = Framed(body);
    ASSERT_EQ(Crc16(frame.data(), frame.size()), 0) << len;
    for (size_t bit = 0; bit < frame.size() * 8; ++bit) {
      frame[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
      ASSERT_NE(Crc16(frame.data(), frame.size()), 0) << len << " bit " << bit;
      frame[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    }
  }
}

TEST_F(PacketTest, ExchangeParsesTracesAndCounts) {
  end.expect = 6;
  end.reply = reply1012;
  Exchange1012();
  EXPECT_TRUE(packet.ReplyHeaderIs(1, 0x1012));
  EXPECT_EQ(packet.ReadField(1), 0x35u);
  EXPECT_TRUE(packet.CheckReply(port.get()));
  EXPECT_EQ(Out(), "<SEND 01 45 10 12 9D C0>\n[RECV " + Hexes(reply1012) + "]\n");
  EXPECT_EQ(packet.BytesSent(), 6u);
  EXPECT_EQ(packet.BytesReceived(), 7u);
  EXPECT_EQ(packet.TxValid(), 0);
  EXPECT_EQ(packet.RxCount(), 0);

  // Bulk transfers switch the per-packet lines off; nothing else changes.
  ctx.settings.traceEnabled = false;
  console.ClearOutput();
  Exchange1012();
  packet.ReadField(4);
  packet.ReadField(1);
  EXPECT_TRUE(packet.CheckReply(port.get()));
  EXPECT_EQ(Out(), "");
  EXPECT_EQ(packet.BytesSent(), 12u);
  EXPECT_EQ(packet.BytesReceived(), 14u);
  end.expect = 0;
  Exchange1012();
  EXPECT_EQ(Out(), "[NO DATA]\n");

  // Fields wider than one byte come most significant first.
  end.expect = 6;
  end.reply = Framed({0x01, 0x45, 0x10, 0x12, 0xA1, 0xB2, 0xC3, 0xD4});
  Exchange1012();  // the reply is longer than 5: the check fails
  packet.BeginCommand(1, 0x1012);
  packet.SendPacket(port.get(), 4);
  packet.ReceiveReply(port.get(), 8);
  packet.ReadField(4);
  EXPECT_EQ(packet.ReadField(4), 0xA1B2C3D4u);
  EXPECT_TRUE(packet.CheckReply(port.get()));
}

TEST_F(PacketTest, StrayByteResynchronisedThenRetrySuppressed) {
  end.expect = 6;
  end.reply = reply1012;
  end.reply.insert(end.reply.begin(), 0x77);
  Exchange1012();
  const std::string framed = Hexes(reply1012);
  EXPECT_NE(Out().find("[BAD CRC 77 01 45 10 12 35 "), std::string::npos);
  EXPECT_NE(Out().find("[GOOD CRC " + framed + "]\n"), std::string::npos);
  EXPECT_EQ(packet.RxCount(), 7);
  EXPECT_EQ(packet.BytesReceived(), 8u);

  // The caller parses too little: an intact frame with a size error stays held.
  packet.ReadField(4);
  EXPECT_FALSE(packet.CheckReply(port.get()));
  EXPECT_NE(Out().find("READ(4): SIZE ERROR:5 [" + framed + "]\n"), std::string::npos);
  EXPECT_EQ(packet.RxCount(), 7);

  // The retry builds the same request: answered from the held frame, the line
  // untouched and no time spent.
  const uint64_t sent = line.BytesToFar(), now = clock.NowUs();
  console.ClearOutput();
  Exchange1012();
  EXPECT_EQ(Out(), "<SUPPRESS 01 45 10 12 9D C0>\n");
  EXPECT_EQ(line.BytesToFar(), sent);
  EXPECT_EQ(clock.NowUs(), now);
  EXPECT_EQ(packet.BytesSent(), 6u);
  EXPECT_TRUE(packet.ReplyHeaderIs(1, 0x1012));
  EXPECT_EQ(packet.ReadField(1), 0x35u);
  EXPECT_TRUE(packet.CheckReply(port.get()));
  EXPECT_EQ(packet.RxCount(), 0);
  EXPECT_EQ(packet.TxValid(), 0);
}

TEST_F(PacketTest, DifferentRequestDiscardsHeldReplyOnce) {
  end.expect = 6;
  end.reply = reply1012;
  Exchange1012();
  EXPECT_FALSE(packet.CheckReply(port.get()));  // nothing parsed: held
  console.ClearOutput();
  packet.BeginCommand(1, 0x1013);
  packet.Append8(1);
  EXPECT_EQ(Count(Out(), "[DISCARD "), 1u);
  EXPECT_NE(Out().find("[DISCARD 01 45 10 12 35 "), std::string::npos);
  EXPECT_EQ(packet.RxCount(), 0);
  const uint64_t sent = line.BytesToFar();
  packet.SendPacket(port.get(), 5);
  Settle();
  EXPECT_EQ(line.BytesToFar(), sent + 7);
  EXPECT_EQ(Count(Out(), "[DISCARD "), 1u);

  // A request that is a strict prefix of the held one (check bytes included)
  // is a different request too: the tail is cut and the reply dropped.
  end.expect = 9;
  packet.BeginRequest();
  const uint8_t longer[] = {0x01, 0x45, 0x10, 0x12, 0x9D, 0xC0, 0xAA};
  packet.AppendBytes(longer, sizeof longer);
  packet.SendPacket(port.get(), 7);
  packet.ReceiveReply(port.get(), 5);
  ASSERT_EQ(packet.RxCount(), 7);
  console.ClearOutput();
  packet.BeginCommand(1, 0x1012);
  packet.SendPacket(port.get(), 4);
  EXPECT_EQ(Count(Out(), "[DISCARD "), 1u);
  EXPECT_NE(Out().find("<SEND 01 45 10 12 9D C0>"), std::string::npos);
  EXPECT_EQ(packet.TxValid(), 6);
}

TEST_F(PacketTest, TransmitByteRuleAndSizeError) {
  const uint8_t abc[] = {'a', 'b', 'c'};
  packet.BeginRequest();
  packet.AppendBytes(abc, 3);
  packet.SendPacket(nullptr, 3);  // fails before the reset: the request stays built
  EXPECT_NE(Out().find("<SEND FAIL>\n"), std::string::npos);
  EXPECT_EQ(packet.TxValid(), 5);
  EXPECT_EQ(packet.TxLength(), 5);
  packet.BeginRequest();
  packet.AppendBytes(abc, 2);
  EXPECT_EQ(packet.TxValid(), 5);  // in place: nothing cut
  EXPECT_EQ(packet.TxLength(), 2);
  packet.Append8('X');
  EXPECT_EQ(packet.TxValid(), 3);  // stored: the old tail is gone
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(packet.TxData()), 3), "abX");

  console.ClearOutput();
  const uint64_t sent = line.BytesToFar();
  packet.BeginCommand(1, 0x1012);
  packet.SendPacket(port.get(), 5);
  Settle();
  EXPECT_EQ(Out(), "ERROR: SendPacket(5): Write size error:4\n");
  EXPECT_EQ(line.BytesToFar(), sent);
  EXPECT_EQ(packet.TxLength(), 6);
  EXPECT_EQ(packet.BytesSent(), 0u);

  // At 20000 bytes further bytes are dropped and the size no longer matches.
  packet.BeginRequest();
  std::vector<uint8_t> big(20001, 0x5A);
  packet.AppendBytes(big.data(), big.size());
  EXPECT_EQ(packet.TxValid(), Packet::kTxSize);
  console.ClearOutput();
  ctx.settings.traceEnabled = false;
  packet.SendPacket(port.get(), 19998);
  EXPECT_EQ(Out(), "");  // 19998 + 2 fits exactly: sent
  EXPECT_EQ(packet.BytesSent(), 20000u);
}

TEST_F(PacketTest, FailedReadsLeaveNothingHeld) {
  // No answer: one trace line after the time-out, then a silent false.
  Exchange1012();
  EXPECT_EQ(Out(), "<SEND 01 45 10 12 9D C0>\n[NO DATA]\n");
  EXPECT_GE(clock.NowUs(), 100000u);
  EXPECT_EQ(packet.ReadField(1), 0u);
  EXPECT_EQ(packet.ReadField(4), 0u);
  EXPECT_FALSE(packet.CheckReply(port.get()));
  EXPECT_EQ(Out(), "<SEND 01 45 10 12 9D C0>\n[NO DATA]\n");
  EXPECT_EQ(packet.TxValid(), 0);

  // A short reply is dropped; the retry goes out in full.
  end.expect = 6;
  end.reply = {0x01, 0x45, 0x10};
  console.ClearOutput();
  Exchange1012();
  EXPECT_EQ(Out(), "<SEND 01 45 10 12 9D C0>\n[PARTIAL RECV 01 45 10]\n");
  EXPECT_EQ(packet.RxCount(), 0);
  EXPECT_EQ(packet.TxValid(), 0);
  EXPECT_EQ(packet.BytesReceived(), 3u);
  const uint64_t sent = line.BytesToFar();
  end.reply = reply1012;
  Exchange1012();
  EXPECT_EQ(line.BytesToFar(), sent + 6);

  // Reading past the held bytes gives zeros (the check bytes are the last held).
  packet.ReadField(4);
  packet.ReadField(1);
  packet.ReadField(2);
  EXPECT_EQ(packet.ReadField(4), 0u);
  EXPECT_FALSE(packet.CheckReply(port.get()));
  EXPECT_NE(Out().find("READ(11): SIZE ERROR:5 ["), std::string::npos);

  console.ClearOutput();
  packet.Reset();
  packet.ReceiveReply(nullptr, 5);
  EXPECT_EQ(Out(), "[RECV FAIL]\n");
}

TEST_F(PacketTest, ResynchroniseGivesUpAfter100ms) {
  end.expect = 6;
  end.reply.assign(3000, 0);
  for (size_t i = 0; i < end.reply.size(); ++i) end.reply[i] = static_cast<uint8_t>(i * 37 + 11);
  packet.BeginCommand(1, 0x1012);
  packet.SendPacket(port.get(), 4);
  const uint32_t start = clock.TickMs();
  packet.ReceiveReply(port.get(), 5);
  EXPECT_NE(Out().find("[BAD CRC "), std::string::npos);
  EXPECT_NE(Out().find("[TIMEOUT]\n"), std::string::npos);
  EXPECT_EQ(Out().find("[GOOD CRC "), std::string::npos);
  EXPECT_GT(clock.TickMs() - start, 100u);
  EXPECT_LT(clock.TickMs() - start, 200u);
  EXPECT_EQ(packet.RxCount(), 0);
  EXPECT_EQ(packet.TxValid(), 0);
}

TEST_F(PacketTest, ProgressLine) {
  packet.ProgressMarks(10, 0);
  EXPECT_EQ(Out(), "");
  packet.ProgressMarks(1, 120);  // 0.5 marks: none, and the count is not remembered
  packet.ProgressMarks(2, 120);  // from 0 to 1
  EXPECT_EQ(Out(), ".");
  packet.ProgressMarks(60, 120);
  EXPECT_EQ(Out(), std::string(30, '.'));
  packet.ProgressMarks(120, 120);
  EXPECT_EQ(Out(), std::string(60, '.'));
  packet.ProgressMarks(180, 120);  // past the total: more than 60 is normal
  EXPECT_EQ(Out(), std::string(90, '.'));
  packet.EndProgress();
  EXPECT_EQ(Out(), std::string(90, '.') + "\n");

  console.ClearOutput();
  packet.ProgressMarks(50, 100);
  packet.ProgressMarks(25, 100);  // went back: counts from 0 again
  EXPECT_EQ(Out(), std::string(30 + 15, '.'));
  packet.ProgressMarks(10, 20);  // a new total
  EXPECT_EQ(Out(), std::string(45 + 30, '.'));
  console.ClearOutput();
  packet.ProgressMarks(4000000000u, 1);  // an absurd total is capped, not a flood
  EXPECT_LE(Out().size(), 6000u);
}

TEST(TransferSummary, RateIsTruncatedAndSafeAtZeroTime) {
  EXPECT_EQ(DataRate(1000, 1000), 11000u);
  EXPECT_EQ(DataRate(1000, 3), 3666666u);
  EXPECT_EQ(DataRate(1000, 0), 11000000u);
  EXPECT_EQ(DataRate(4000000000u, 1), 44000000000000ull);
  TextStream s;
  WriteTransferSummary(s, "Bytes sent = ", 262144, 30000);
  EXPECT_EQ(s.Text(), "Bytes sent = 262144 : Time = 30000 mS : Data rate = 96119 baud\r\n");
}

}  // namespace
}  // namespace corv
