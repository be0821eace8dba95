// The RFC 2217 port against a scripted serial device server in the same
// process: what ser2net on a pseudo-terminal cannot show (a refused rate, CTS,
// hardware flow control), the Telnet framing, the settings sent only when they
// change, the purge of both sides, a busy server and one that goes away.
#include "platform/network_port.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <vector>

namespace corv {
namespace {

using Bytes = std::vector<uint8_t>;

// Answers every com-port command with its own value (or the one set in
// `answer` for its code) and notes each one; serves what `toClient` holds.
class ScriptedServer : public TcpConnection {
 public:
  std::deque<uint8_t> toClient{255, 251, 0, 255, 253, 0, 255, 253, 44};  // WILL/DO BINARY, DO COM-PORT
  std::vector<Bytes> commands;  // code then value, in the order received
  Bytes data;                   // the client's data bytes
  std::map<uint8_t, Bytes> answer;
  bool closed = false;
  int receivesAfterClose = 0;

  bool SendAll(const uint8_t* p, size_t n) override {
    if (closed) return false;
    for (size_t i = 0; i < n; ++i) Take(p[i]);
    return true;
  }
  int ReceiveSome(uint8_t* buf, size_t count, int) override {
    if (toClient.empty()) {
      if (closed) ++receivesAfterClose;
      return closed ? -1 : 0;
    }
    size_t n = 0;
    while (n < count && !toClient.empty()) buf[n++] = toClient.front(), toClient.pop_front();
    return static_cast<int>(n);
  }
  std::string Reason() const override { return "Connection closed by the server"; }

  void Notify(uint8_t code, uint8_t value) { toClient.insert(toClient.end(), {255, 250, 44, code, value, 255, 240}); }
  int Count(uint8_t code) const {
    int n = 0;
    for (const Bytes& c : commands) n += c[0] == code;
    return n;
  }

 private:
  void Take(uint8_t b) {
    if (inSub_) {
      if (iac_) {
        iac_ = false;
        if (b == 240) {
          inSub_ = false;
          Answer();
          return;
        }
      } else if (b == 255) {
        iac_ = true;
        return;
      }
      sub_.push_back(b);
      return;
    }
    if (skip_) {
      --skip_;
      return;
    }
    if (iac_) {
      iac_ = false;
      if (b == 250) {
        inSub_ = true;
        sub_.clear();
      } else if (b == 255) {
        data.push_back(b);
      } else {
        skip_ = 1;  // WILL/WONT/DO/DONT and their option
      }
      return;
    }
    if (b == 255) {
      iac_ = true;
    } else {
      data.push_back(b);
    }
  }
  void Answer() {
    const Bytes c(sub_.begin() + 1, sub_.end());
    commands.push_back(c);
    Bytes a = answer.count(c[0]) ? answer[c[0]] : Bytes(c.begin() + 1, c.end());
    toClient.insert(toClient.end(), {255, 250, 44, static_cast<uint8_t>(c[0] + 100)});
    for (uint8_t v : a) {
      toClient.push_back(v);
      if (v == 255) toClient.push_back(255);
    }
    toClient.insert(toClient.end(), {255, 240});
  }
  bool inSub_ = false, iac_ = false;
  int skip_ = 0;
  Bytes sub_;
};

class NetworkPortTest : public ::testing::Test {
 protected:
  std::unique_ptr<SerialPort> Open(const LineSettings& line) {
    auto s = std::make_unique<ScriptedServer>();
    server = s.get();
    setup(*server);
    return StartNetworkPort(std::move(s), line, 0, hook, result);
  }
  std::function<void(ScriptedServer&)> setup = [](ScriptedServer&) {};
  PortDriver::ErrorHook hook = [](std::string_view) {};
  ScriptedServer* server = nullptr;
  OpenResult result;
  LineSettings line;  // 19200, two stop bits, no parity
};

TEST_F(NetworkPortTest, OpensWithTheLineTheModemLinesAndAPurge) {
  auto port = Open(line);
  ASSERT_TRUE(port) << result.errorText;
  EXPECT_EQ(server->commands[0], (Bytes{1, 0, 0, 0x4B, 0}));  // 19200
  EXPECT_EQ(server->Count(2), 1);
  EXPECT_EQ(server->Count(4), 1);
  EXPECT_EQ(server->Count(5), 3);  // no flow control, DTR on, RTS on
  EXPECT_EQ(server->Count(12), 1);
  EXPECT_GE(port->RoundTripMs(), 0);
}

TEST_F(NetworkPortTest, ARateReadBackOtherwiseIsRefusedAndASettingInForceIsNotSentAgain) {
  setup = [](ScriptedServer& s) { s.answer[1] = {0, 1, 0xC2, 0}; };  // 115200 whatever is asked
  Open(line);
  EXPECT_EQ(result.outcome, OpenOutcome::SettingRefused);

  setup = [](ScriptedServer&) {};
  auto port = Open(line);
  ASSERT_TRUE(port);
  const int before = static_cast<int>(server->commands.size());
  ASSERT_EQ(port->SetLine(line), 1);
  EXPECT_EQ(server->commands.size(), before + 1u);  // the purge alone
  server->answer[1] = {0, 0, 0x25, 0x80};          // 9600 for 921600
  LineSettings fast = line;
  fast.baud = 921600;
  OpenResult why;
  EXPECT_FALSE(port->Reconfigure(fast, 100, why));
  EXPECT_EQ(why.outcome, OpenOutcome::SettingRefused);
}

TEST_F(NetworkPortTest, HardwareFlowControlAndCtsFromTheServersNotifications) {
  line.cts = true;
  auto port = Open(line);
  ASSERT_TRUE(port);
  EXPECT_EQ(server->commands[4], (Bytes{5, 3}));
  EXPECT_EQ(port->CtsOn(), 0);
  server->Notify(107, 0x10);
  EXPECT_EQ(port->CtsOn(), 1);
  server->Notify(107, 0x00);
  EXPECT_EQ(port->CtsOn(), 0);
}

TEST_F(NetworkPortTest, IacDoubledBothWaysAndThePurgeDropsWhatIsBuffered) {
  auto port = Open(line);
  ASSERT_TRUE(port);
  const uint8_t out[] = {1, 255, 2};
  EXPECT_EQ(port->Transmit(out, 3), 3);
  EXPECT_EQ(server->data, (Bytes{1, 255, 2}));
  server->toClient.insert(server->toClient.end(), {7, 255, 255, 8});
  uint8_t in[8] = {};
  EXPECT_EQ(port->Receive(in, 3), 3);
  EXPECT_EQ(Bytes(in, in + 3), (Bytes{7, 255, 8}));
  server->toClient.insert(server->toClient.end(), {9, 9});
  port->Purge();
  EXPECT_EQ(port->Receive(in, 2), 0);
}

TEST_F(NetworkPortTest, ABusyServerAndOneThatGoesAway) {
  setup = [](ScriptedServer& s) {
    const std::string said = "Port already in use\r\n";
    s.toClient.insert(s.toClient.end(), said.begin(), said.end());
    s.closed = true;
  };
  EXPECT_FALSE(Open(line));
  EXPECT_EQ(result.outcome, OpenOutcome::Busy);

  setup = [](ScriptedServer&) {};
  auto port = Open(line);
  ASSERT_TRUE(port);
  server->closed = true;
  uint8_t in[4];
  EXPECT_EQ(port->Receive(in, 4), -1);
  EXPECT_EQ(server->receivesAfterClose, 1);  // the first failure ends every later step at once
  EXPECT_EQ(port->Transmit(in, 4), -1);
}

TEST(NetworkPortName, TheFormsItReads) {
  NetworkPortName n;
  EXPECT_TRUE(ReadNetworkPortName("RFC2217://plant-gw:4001", n));
  EXPECT_EQ(n.host, "plant-gw");
  EXPECT_EQ(n.port, 4001);
  EXPECT_TRUE(ReadNetworkPortName("rfc2217://[::1]:7000", n));
  EXPECT_EQ(n.host, "::1");
  for (const char* bad : {"rfc2217://host", "rfc2217://:1", "rfc2217://h:0", "rfc2217://h:65536", "COM1", "rfc2217://a:b:1"}) {
    EXPECT_FALSE(ReadNetworkPortName(bad, n)) << bad;
  }
}

}  // namespace
}  // namespace corv
