// The attempt and budget rules every backend shares, on a scripted port, and
// the line-error classification.
#include "platform/port_base.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <deque>
#include <string>
#include <vector>

namespace corv {
namespace {

class ScriptedPort : public PortBase {
 public:
  explicit ScriptedPort(const PortDriver::ErrorHook& hook) : PortBase(hook) {}
  int SetLine(const LineSettings&) override { return 1; }
  int CtsOn() override { return 0; }

  std::deque<int> writes, reads;  // results of the next calls; empty: the whole count
  std::vector<int> writeSizes;
  int readCalls = 0;
  bool discardFails = false;
  LineErrors errors;

 protected:
  int ReadOnce(uint8_t* buf, uint16_t count) override {
    ++readCalls;
    int r = count;
    if (!reads.empty()) r = reads.front(), reads.pop_front();
    for (int i = 0; i < r; ++i) buf[i] = static_cast<uint8_t>(0xA0 + i);
    return r;
  }
  int WriteOnce(const uint8_t*, uint16_t count) override {
    writeSizes.push_back(count);
    if (writes.empty()) return count;
    const int r = writes.front();
    writes.pop_front();
    return r;
  }
  bool DiscardPending() override { return !discardFails; }
  bool FetchLineErrors(LineErrors& e) override {
    e = errors;
    errors = {};
    return true;
  }
  std::string ErrorText() const override { return "Error: scripted"; }
  int LastError() const override { return EIO; }
  void SetReadTimeout(int16_t) override {}
};

class PortBaseTest : public ::testing::Test {
 protected:
  PortDriver::ErrorHook hook = [this](std::string_view t) { reports.emplace_back(t); };
  ScriptedPort port{hook};
  std::vector<std::string> reports;
  std::vector<uint8_t> data = std::vector<uint8_t>(10000, 0x11);
};

TEST_F(PortBaseTest, WritesInChunksWithinTheCallBudget) {
  EXPECT_EQ(port.Transmit(data.data(), 10000), 10000);
  EXPECT_EQ(port.writeSizes, (std::vector<int>{4096, 4096, 1808}));
  EXPECT_EQ(reports.size(), 3u);  // each call's bytes traced
  EXPECT_EQ(reports[2].size(), 1808u * 3 + 1);

  // Short calls go on from where they stopped, at most 11 calls in all.
  port.writeSizes.clear();
  port.writes.assign(11, 1);
  EXPECT_EQ(port.Transmit(data.data(), 20), 11);
  EXPECT_EQ(port.writeSizes.size(), 11u);
  EXPECT_EQ(port.writeSizes[10], 10);

  // A failure in between is reported and retried; failing last gives -1.
  reports.clear();
  port.writes = {-1, 5};
  EXPECT_EQ(port.Transmit(data.data(), 5), 5);
  EXPECT_EQ(reports.front(), "Error: scripted");
  port.writes.assign(11, -1);
  port.writes.front() = 3;
  EXPECT_EQ(port.Transmit(data.data(), 5), -1);

  // A call that moves nothing ends it.
  reports.clear();
  port.writeSizes.clear();
  port.writes = {0};
  EXPECT_EQ(port.Transmit(data.data(), 5), -1);
  EXPECT_EQ(reports, std::vector<std::string>{"Incomplete write"});
  EXPECT_EQ(port.writeSizes.size(), 1u);
  EXPECT_EQ(port.Transmit(data.data(), 0), 0);
}

TEST_F(PortBaseTest, ReadAttemptsAndPurgeReports) {
  uint8_t buf[8];
  port.reads = {-1, -1, 2};
  port.errors.overrun = true;
  EXPECT_EQ(port.Receive(buf, 8), 2);
  EXPECT_EQ(reports, (std::vector<std::string>{"Error: scripted", "Comm port overrun", "Error: scripted", "[A0,A1]"}));
  port.reads = {0};
  reports.clear();
  EXPECT_EQ(port.Receive(buf, 8), 0);  // a time-out is no failure
  EXPECT_EQ(reports, std::vector<std::string>{"[]"});
  port.readCalls = 0;
  port.reads.assign(11, -1);
  EXPECT_EQ(port.Receive(buf, 8), -1);
  EXPECT_EQ(port.readCalls, 11);

  reports.clear();
  port.errors.frame = port.errors.overrun = true;
  port.Purge();
  EXPECT_EQ(reports, std::vector<std::string>{"Comm port framing error"});
  port.Purge();
  EXPECT_EQ(reports.size(), 1u);  // cleared by the fetch
  port.discardFails = true;
  port.errors.brk = true;
  port.Purge();
  EXPECT_EQ(reports.back(), "Error: scripted");
}

TEST(LineErrors, FirstFlagDecides) {
  LineErrors e;
  EXPECT_EQ(ClassifyLineErrors(e), "");
  e.other = true;
  EXPECT_EQ(ClassifyLineErrors(e), "Comm port error");
  e.brk = true;
  EXPECT_EQ(ClassifyLineErrors(e), "Comm port break");
  e.parity = true;
  EXPECT_EQ(ClassifyLineErrors(e), "Comm port parity error");
  e.overrun = true;
  EXPECT_EQ(ClassifyLineErrors(e), "Comm port overrun");
  e.frame = true;
  EXPECT_EQ(ClassifyLineErrors(e), "Comm port framing error");
}

}  // namespace
}  // namespace corv
