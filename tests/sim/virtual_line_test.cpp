// The virtual line: wire time, buffers and time-outs, mismatched lines, faults,
// CTS flow and the driver's open outcomes.
#include "sim/virtual_line.h"

#include <gtest/gtest.h>

#include <bitset>
#include <string>
#include <vector>

#include "tests/link/far_end.h"

namespace corv {
namespace {

// Sends every byte back as soon as it has arrived.
class EchoEnd : public LineEnd {
 public:
  void OnByte(VirtualLine& line, uint64_t atUs, uint8_t byte) override { line.FarSend(atUs, &byte, 1); }
};

class VirtualLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    line.Attach(&end);
    line.SetFarLine(115200, false);
    // Reports only; the traced bytes ("<..>", "[..]") are left out.
    driver.SetErrorHook([this](std::string_view t) {
      if (t.front() != '<' && t.front() != '[') reports.emplace_back(t);
    });
  }
  std::unique_ptr<SerialPort> Open(LineSettings s = {115200, 2, false, false, false}, int16_t timeoutMs = 100) {
    OpenResult r;
    auto p = driver.Open(1, s, timeoutMs, r);
    EXPECT_EQ(r.outcome, OpenOutcome::Opened);
    return p;
  }
  void Settle(SerialPort& p, uint32_t ms = 20) {
    clock.SleepMs(ms);
    p.CtsOn();
  }
  std::vector<uint8_t> Pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + 3);
    return v;
  }

  VirtualClock clock;
  VirtualPortDriver driver{clock};
  VirtualLine& line = driver.AddLine(1);
  test::ScriptedEnd end;
  std::vector<std::string> reports;
};

TEST_F(VirtualLineTest, WireTimeBothWaysAndFullDuplex) {
  EXPECT_EQ(VirtualLine::ByteTimeUs(115200, false), 95u);
  EXPECT_EQ(VirtualLine::ByteTimeNs(115200, false), 95486u);
  EXPECT_EQ(VirtualLine::ByteTimeUs(9600, true), 1250u);

  auto port = Open();
  const auto frame = Pattern(139);
  ASSERT_EQ(port->Transmit(frame.data(), 139), 139);
  EXPECT_EQ(clock.NowUs(), 0u);  // the frame fits the transmit buffer
  Settle(*port);
  EXPECT_EQ(end.got, frame);
  EXPECT_EQ(end.lastAtUs / 10, 1327u);  // 13.27 ms
  EXPECT_EQ(line.BytesToFar(), 139u);

  // Towards the program, with even parity on both sides: 12 bits a byte.
  port->SetLine({115200, 2, true, true, false});
  line.SetFarLine(115200, true);
  const uint64_t t0 = clock.NowUs();
  line.FarSend(t0, frame.data(), frame.size());
  std::vector<uint8_t> in(139);
  ASSERT_EQ(port->Receive(in.data(), 139), 139);
  EXPECT_EQ(in, frame);
  EXPECT_EQ((clock.NowUs() - t0) / 10, 1448u);  // 14.48 ms

  // Full duplex: an echo of each byte overlaps the next one going out.
  EchoEnd echo;
  line.Attach(&echo);
  const uint64_t t1 = clock.NowUs();
  ASSERT_EQ(port->Transmit(frame.data(), 100), 100);
  ASSERT_EQ(port->Receive(in.data(), 100), 100);
  EXPECT_EQ(std::vector<uint8_t>(in.begin(), in.begin() + 100), std::vector<uint8_t>(frame.begin(), frame.begin() + 100));
  EXPECT_EQ((clock.NowUs() - t1) / 100, 101u * 104167u / 100000u);  // 101 byte times, not 200
}

TEST_F(VirtualLineTest, WriteChunksBufferAndReadTimeouts) {
  auto port = Open();
  std::vector<uint16_t> calls;
  line.writeLog = &calls;
  const auto big = Pattern(10000);
  ASSERT_EQ(port->Transmit(big.data(), 10000), 10000);
  EXPECT_EQ(calls, (std::vector<uint16_t>{4096, 4096, 1808}));
  // The write returned once the last part fitted: 5904 bytes had left the buffer.
  EXPECT_EQ(clock.NowUs() / 1000, 5904u * 95486u / 1000000u);
  Settle(*port, 1000);
  EXPECT_EQ(end.got, big);
  line.writeLog = nullptr;

  // A read waits for its count, and no longer.
  const auto data = Pattern(20);
  uint64_t t0 = clock.NowUs();
  line.FarSend(t0, data.data(), data.size());
  uint8_t in[32];
  ASSERT_EQ(port->Receive(in, 10), 10);
  EXPECT_EQ(clock.NowUs() - t0, 955u);  // the tenth byte's last stop bit
  ASSERT_EQ(port->Receive(in, 32), 10);  // the rest, then the time-out
  EXPECT_EQ(clock.NowUs() - t0, 955u + 100000u);
  t0 = clock.NowUs();
  EXPECT_EQ(port->Receive(in, 1), 0);
  EXPECT_EQ(clock.NowUs() - t0, 100000u);

  // Time-out 0: only what has arrived, at once.
  port.reset();
  port = Open({115200, 2, false, false, false}, 0);
  t0 = clock.NowUs();
  line.FarSend(t0, data.data(), 10);
  EXPECT_EQ(port->Receive(in, 10), 0);
  clock.AdvanceTo(t0 + 480);
  EXPECT_EQ(port->Receive(in, 10), 5);
  EXPECT_EQ(clock.NowUs(), t0 + 480);
  EXPECT_EQ(in[4], data[4]);

  // A purge drops what has arrived, not what is still on the wire.
  port->Purge();
  clock.AdvanceTo(t0 + 2000);
  EXPECT_EQ(port->Receive(in, 10), 5);
  EXPECT_EQ(in[0], data[5]);
}

TEST_F(VirtualLineTest, MismatchedLinesAndInjectedFaults) {
  auto port = Open();
  const auto data = Pattern(64);
  line.SetFarLine(9600, false);
  port->Transmit(data.data(), 64);
  Settle(*port);
  ASSERT_EQ(end.got.size(), 64u);
  size_t same = 0;
  for (size_t i = 0; i < 64; ++i) same += end.got[i] == data[i];
  EXPECT_EQ(same, 0u);
  const auto garbled = end.got;
  end.got.clear();
  port->Transmit(data.data(), 64);
  Settle(*port);
  EXPECT_EQ(end.got, garbled);  // the same garbage every time

  // Parity alone differing is garbage too; the program sees framing errors.
  line.SetFarLine(115200, true);
  line.FarSend(clock.NowUs(), data.data(), 8);
  uint8_t in[64];
  ASSERT_EQ(port->Receive(in, 8), 8);
  EXPECT_NE(std::vector<uint8_t>(in, in + 8), std::vector<uint8_t>(data.begin(), data.begin() + 8));
  port->Purge();
  EXPECT_EQ(reports, std::vector<std::string>{"Comm port framing error"});

  // Faults at positions, counted per direction from the line's start (128 sent so far).
  line.SetFarLine(115200, false);
  end.got.clear();
  line.toFar.dropAt = {129};
  line.toFar.corruptAt = {130};
  line.toFar.insertBefore = {132};
  port->Transmit(data.data(), 4);
  Settle(*port);
  ASSERT_EQ(end.got.size(), 3u);
  EXPECT_EQ(end.got[0], data[0]);
  EXPECT_EQ(std::bitset<8>(end.got[1] ^ data[2]).count(), 1u);
  EXPECT_EQ(end.got[2], data[3]);
  port->Transmit(data.data(), 1);
  Settle(*port);
  ASSERT_EQ(end.got.size(), 5u);  // the stray byte, then the byte
  EXPECT_EQ(end.got[4], data[0]);
  line.toFar = LineFaults{};

  line.toHost.dropAt = {9};
  line.toHost.insertBefore = {8};
  line.FarSend(clock.NowUs(), data.data(), 4);  // bytes 8..11 of this direction
  ASSERT_EQ(port->Receive(in, 4), 4);
  EXPECT_EQ(in[1], data[0]);
  EXPECT_EQ(in[2], data[2]);
  EXPECT_EQ(in[3], data[3]);

  // A seeded error rate: about the rate, and the same bytes for the same seed.
  auto noisy = [&](uint64_t seed) {
    VirtualClock c;
    VirtualLine l(c);
    l.SetFarLine(115200, false);
    l.toHost.errorRate = 0.01;
    l.toHost.seed = seed;
    l.OpenHost({115200, 2, false, false, false}, 1000);
    const auto d = Pattern(10000);
    l.FarSend(0, d.data(), d.size());
    std::vector<uint8_t> got(10000);
    EXPECT_EQ(l.HostReceive(got.data(), 10000), 10000);
    size_t bad = 0;
    for (size_t i = 0; i < d.size(); ++i) bad += got[i] != d[i];
    EXPECT_GT(bad, 50u);
    EXPECT_LT(bad, 200u);
    return got;
  };
  EXPECT_EQ(noisy(5), noisy(5));
  EXPECT_NE(noisy(5), noisy(6));
}

TEST_F(VirtualLineTest, CtsDrivenByTheFarEndGatesOutput) {
  auto port = Open({115200, 2, false, false, true});
  EXPECT_EQ(port->CtsOn(), 0);
  const auto data = Pattern(10);
  ASSERT_EQ(port->Transmit(data.data(), 10), 10);  // into the buffer
  Settle(*port, 100);
  EXPECT_TRUE(end.got.empty());
  const uint64_t on = clock.NowUs() + 5000;
  line.SetCtsAt(on, true);
  EXPECT_EQ(port->CtsOn(), 0);
  Settle(*port, 20);
  EXPECT_EQ(port->CtsOn(), 1);
  EXPECT_EQ(end.got, data);
  EXPECT_EQ(end.lastAtUs, on + 955);

  // With CTS off a full buffer makes the write time out: 4096 go in, the next
  // call moves nothing.
  line.SetCts(false);
  EXPECT_EQ(port->CtsOn(), 0);
  const auto big = Pattern(5000);
  const uint64_t t0 = clock.NowUs();
  EXPECT_EQ(port->Transmit(big.data(), 5000), -1);
  EXPECT_EQ(reports, std::vector<std::string>{"Incomplete write"});
  EXPECT_EQ(clock.NowUs() - t0, (904u + 1000u) * 1000u);

  // Without CTS flow the line ignores CTS.
  port->SetLine({115200, 2, false, false, false});
  end.got.clear();
  port->Transmit(data.data(), 10);
  Settle(*port);
  EXPECT_EQ(end.got, data);
}

TEST_F(VirtualLineTest, UsbAdapterHoldsReceivedBytes) {
  EXPECT_EQ(line.AdapterLatencyUs(), 0u);  // a plain UART unless a test says otherwise
  auto port = Open();
  const auto data = Pattern(100);
  uint8_t in[100];
  const uint64_t bt = VirtualLine::ByteTimeNs(115200, false);  // 95486 ns

  // The timer starts with the first byte held; a short reply waits for it whole.
  line.SetAdapter(16000);
  uint64_t t0 = clock.NowUs();
  line.FarSend(t0, data.data(), 14);
  ASSERT_EQ(port->Receive(in, 14), 14);
  EXPECT_EQ(clock.NowUs() - t0, (bt + 16000000 + 999) / 1000);  // 16096 us, not 1337
  EXPECT_EQ(std::vector<uint8_t>(in, in + 14), std::vector<uint8_t>(data.begin(), data.begin() + 14));

  // A full USB packet of 62 goes at once; the 63rd byte starts a new timer.
  t0 = clock.NowUs();
  line.FarSend(t0, data.data(), 100);
  ASSERT_EQ(port->Receive(in, 62), 62);
  EXPECT_EQ(clock.NowUs() - t0, (62 * bt + 999) / 1000);
  ASSERT_EQ(port->Receive(in + 62, 38), 38);
  EXPECT_EQ(clock.NowUs() - t0, (63 * bt + 16000000 + 999) / 1000);
  EXPECT_EQ(std::vector<uint8_t>(in, in + 100), data);
  line.SetAdapter(16000, 8);  // another packet size
  t0 = clock.NowUs();
  line.FarSend(t0, data.data(), 10);
  ASSERT_EQ(port->Receive(in, 8), 8);
  EXPECT_EQ(clock.NowUs() - t0, (8 * bt + 999) / 1000);
  ASSERT_EQ(port->Receive(in, 8), 2);  // the last two on their timer, then the time-out

  // Bytes slower than the timer each wait for a timer of their own.
  port->SetLine({9600, 2, false, false, false});
  line.SetFarLine(9600, false);
  line.SetAdapter(1000);
  const uint64_t slow = VirtualLine::ByteTimeNs(9600, false);
  t0 = clock.NowUs();
  line.FarSend(t0, data.data(), 3);
  ASSERT_EQ(port->Receive(in, 3), 3);
  EXPECT_EQ(clock.NowUs() - t0, (3 * slow + 1000000 + 999) / 1000);  // 4438 us, a UART 3438

  // Polling with time-out 0 sees nothing before the timer, everything after.
  port.reset();
  port = Open({115200, 2, false, false, false}, 0);
  line.SetFarLine(115200, false);
  line.SetAdapter(16000);
  t0 = clock.NowUs();
  line.FarSend(t0, data.data(), 10);
  clock.AdvanceTo(t0 + 16000);
  EXPECT_EQ(port->Receive(in, 10), 0);
  clock.AdvanceTo(t0 + 16096);
  EXPECT_EQ(port->Receive(in, 10), 10);

  // The PC's purge drops what it holds, not what the adapter still holds.
  t0 = clock.NowUs();
  line.FarSend(t0, data.data(), 10);
  clock.AdvanceTo(t0 + 2000);  // all on the adapter, none with the PC
  port->Purge();
  clock.AdvanceTo(t0 + 16096);
  EXPECT_EQ(port->Receive(in, 10), 10);
  line.FarSend(clock.NowUs(), data.data(), 10);
  clock.SleepMs(20);
  port->Purge();
  EXPECT_EQ(port->Receive(in, 10), 0);

  // A far end that resets drops what is on the wire; the adapter's bytes come.
  t0 = clock.NowUs();
  line.FarSend(t0, data.data(), 20);
  clock.AdvanceTo(t0 + 1000);  // ten have arrived
  line.FarFlush();
  clock.AdvanceTo(t0 + 17000);
  EXPECT_EQ(port->Receive(in, 20), 10);
  EXPECT_EQ(in[9], data[9]);

  // Back to a plain UART: each byte is there as its stop bit ends.
  line.SetAdapter(0);
  t0 = clock.NowUs();
  line.FarSend(t0, data.data(), 10);
  clock.AdvanceTo(t0 + 955);
  EXPECT_EQ(port->Receive(in, 10), 10);
}

TEST_F(VirtualLineTest, DriverOutcomes) {
  OpenResult r;
  EXPECT_FALSE(driver.Open(2, {}, 100, r));
  EXPECT_EQ(r.outcome, OpenOutcome::NotPresent);
  driver.SetBusy(1, true);
  EXPECT_FALSE(driver.Open(1, {}, 100, r));
  EXPECT_EQ(r.outcome, OpenOutcome::Busy);
  driver.SetBusy(1, false);
  EXPECT_TRUE(reports.empty());

  driver.RefuseRate(1, 921600);
  EXPECT_FALSE(driver.Open(1, {921600, 2, false, false, false}, 100, r));
  EXPECT_EQ(r.outcome, OpenOutcome::SettingRefused);
  EXPECT_FALSE(driver.Open(1, {0, 2, false, false, false}, 100, r));
  EXPECT_EQ(r.outcome, OpenOutcome::SettingRefused);
  EXPECT_EQ(reports.size(), 2u);
  EXPECT_FALSE(line.HostOpen());

  auto port = driver.Open(1, {57600, 2, true, true, false}, 100, r);
  ASSERT_TRUE(port);
  EXPECT_EQ(r.outcome, OpenOutcome::Opened);
  EXPECT_TRUE(line.HostOpen());
  EXPECT_EQ(line.HostBaud(), 57600);
  EXPECT_TRUE(line.HostParity());
  EXPECT_FALSE(driver.Open(1, {}, 100, r));  // held by this program
  EXPECT_EQ(r.outcome, OpenOutcome::Busy);

  reports.clear();
  EXPECT_EQ(port->SetLine({921600, 2, false, false, false}), -1);
  EXPECT_EQ(reports.size(), 1u);
  EXPECT_EQ(line.HostBaud(), 57600);  // the port stays open as it was
  EXPECT_GT(port->SetLine({128000, 2, false, false, false}), 0);
  EXPECT_EQ(line.HostBaud(), 128000);
  port.reset();
  EXPECT_FALSE(line.HostOpen());
  EXPECT_TRUE(driver.Open(1, {}, 100, r));
}

}  // namespace
}  // namespace corv
