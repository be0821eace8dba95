// The built CorvUpdater against CorvSim behind Debian's ser2net, which serves
// the sandbox's COM1 pseudo-terminal over RFC 2217 on 127.0.0.1 (it sets the
// rates the program asks for on the terminal, where CorvSim hears them), with
// CorvDelayRelay in between for a network's round trip. Real time; skipped
// where ser2net is not installed.
#include <netinet/in.h>
#include <sys/socket.h>

#include "sim/unit_data.h"
#include "update_e2e_rig.h"

namespace corv::e2e {
namespace {

// A port of 127.0.0.1 nothing listens on at this moment.
int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

// A TCP connection to 127.0.0.1:port, or -1.
int Connect(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
  close(fd);
  return -1;
}

bool HaveSer2net() { return std::system("command -v ser2net >/dev/null 2>&1") == 0; }

// ser2net in the foreground with one RFC 2217 accepter in front of the
// sandbox's COM1, and a relay adding `roundTripMs` when it is not 0 or when
// it is to report CTS up (`raiseCts`: a server whose unit raises CTS, which a
// pseudo-terminal cannot).
class Server {
 public:
  Server(const Sandbox& box, int roundTripMs, bool raiseCts = false) : port_(FreePort()) {
    const std::string tty = fs::read_symlink(box.Dir() + "/machine/com1").string();
    const std::string config = box.Dir() + "/ser2net.yaml";
    std::ofstream(config) << "connection: &com1\n  accepter: telnet(rfc2217),tcp,127.0.0.1," << port_
                          << "\n  connector: serialdev," << tty << ",19200n81,local\n";
    ser2net_ = Start("ser2net", {"-n", "-d", "-c", config, "-P", box.Dir() + "/ser2net.pid"},
                     testing::Launch{.dir = box.Dir()});
    for (int i = 0; i < 100; ++i) {
      const int fd = Connect(port_);
      if (fd >= 0) {
        std::string greeting;
        ReadUntil(fd, greeting, ",", 5);  // the server's DO COM-PORT
        close(fd);
        break;
      }
      usleep(50000);
    }
    usleep(500000);  // ser2net lets the probe's connection go
    if (roundTripMs > 0 || raiseCts) {
      std::vector<std::string> args{std::to_string(port_), std::to_string(roundTripMs / 2)};
      if (raiseCts) args.push_back("--cts");
      relay_ = Start(BinDir() + "/CorvDelayRelay", args, {});
      std::string said;
      ReadUntil(relay_.out, said, "\n", 10);
      clientPort_ = std::atoi(said.substr(said.find(' ') + 1).c_str());
    } else {
      clientPort_ = port_;
    }
  }
  ~Server() {
    Stop();
    if (relay_.pid > 0) {
      kill(relay_.pid, SIGKILL);
      WaitFor(relay_.pid, 10);
      close(relay_.out);
    }
  }
  std::string Name() const { return "rfc2217://127.0.0.1:" + std::to_string(clientPort_); }
  int ServerPort() const { return port_; }
  void Stop() {
    if (ser2net_.pid <= 0) return;
    kill(ser2net_.pid, SIGTERM);
    WaitFor(ser2net_.pid, 10);
    close(ser2net_.out);
    ser2net_.pid = -1;
  }

 private:
  int port_;
  int clientPort_ = 0;
  Child ser2net_;
  Child relay_;
};

#define NEED_SER2NET() \
  if (!HaveSer2net()) GTEST_SKIP() << "ser2net is not installed"

void ExpectUpdatedThroughServer(Sandbox& box, const RunResult& r) {
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(r.Has("Success: all operations are complete\n")) << r.out;
  auto s = box.State();
  EXPECT_EQ(s["version"], "510");
  EXPECT_EQ(s["checksum"], "0xCFD9091F");
  // A port named directly has no number to save.
  EXPECT_EQ(box.SavedPort(), "");
  EXPECT_NE(box.Log().find("Network round trip = "), std::string::npos);
}

TEST(NetworkPortE2E, UpdateAndTheCurrentRunAt20msRoundTrip) {
  NEED_SER2NET();
  Sandbox box("");
  Server server(box, 20);
  ExpectUpdatedThroughServer(box, box.RunAsIs({"-y", "-d", server.Name()}));
  RunResult again = box.RunAsIs({"-y", server.Name()});
  EXPECT_EQ(again.status, 0) << again.out;
  EXPECT_TRUE(again.Has("-- corvanta software is already the correct version")) << again.out;
}

TEST(NetworkPortE2E, InterrogationAt100msRoundTrip) {
  NEED_SER2NET();
  Sandbox box("");
  Server server(box, 100);
  RunResult r = box.RunAsIs({"-y", "-i", server.Name()});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(r.Has("-- interrogating unit")) << r.out;
}

// With CTS up the overlapped transfer keeps its window of blocks in flight,
// so a 100 ms round trip is paid once a window, not once a block. The drive's
// files are current: the software is what is written.
TEST(NetworkPortE2E, OverlappedUpdateAt100msRoundTrip) {
  NEED_SER2NET();
  std::string filesCurrent = "file40=catalogue\n";
  for (const char* n : {"50", "51", "52", "53", "54", "55", "56", "57", "58", "59", "5A", "5B", "5C", "5D"}) {
    filesCurrent += std::string("file") + n + "=catalogue\n";
  }
  Sandbox box(filesCurrent);
  Server server(box, 100, true);
  RunResult r = box.RunAsIs({"-y", "-d", "-o", server.Name()});
  ExpectUpdatedThroughServer(box, r);
  EXPECT_TRUE(r.Has("Using overlapped (duplex) comms")) << r.out;
  EXPECT_FALSE(r.Has("Updating Corvanta file")) << r.out;
}

TEST(NetworkPortE2E, ProgrammingRate921600) {
  NEED_SER2NET();
  Sandbox box("");
  Server server(box, 0);
  RunResult r = box.RunAsIs({"-y", "-d", "-r", "921600", server.Name()});
  ExpectUpdatedThroughServer(box, r);
  EXPECT_TRUE(r.Has("baud rate = 921600")) << r.out;
}

TEST(NetworkPortE2E, ManufacturingRunWithTheFieldsInPlace) {
  NEED_SER2NET();
  Sandbox box(CurrentDisplayProfile());
  Server server(box, 0);
  const sim::FieldsText t = sim::FieldsAsText(sim::MakeFieldsRecord(12345));
  const std::string job = box.Job("CorvManufacture=TRUE\r\nProgram=TRUE\r\nEncryptedSerialNo=" + t.serialNo +
                                  "\r\nEncryptedSerialNoCRC=" + t.serialNoCrc + "\r\nEncryptedSecretKeys=" +
                                  t.secretKeys + "\r\nEncryptedSecretKeysCRC=" + t.secretKeysCrc +
                                  "\r\nSerialNo=12345\r\n");
  RunResult r = box.RunAsIs({"-d", job, server.Name()});
  EXPECT_TRUE(r.Has("-- manufacturing fields are already correct\n"
                    "-- corvanta software is already the correct version\n"))
      << r.out;
  EXPECT_EQ(r.status, 0) << r.out;
}

TEST(NetworkPortE2E, SecondClientIsRefusedWhileOneHoldsThePort) {
  NEED_SER2NET();
  Sandbox box("");
  Server server(box, 0);
  const int holder = Connect(server.ServerPort());
  ASSERT_GE(holder, 0);
  std::string greeting;
  ReadUntil(holder, greeting, ",", 5);
  ASSERT_EQ(greeting.find("in use"), std::string::npos) << greeting;
  RunResult r = box.RunAsIs({"-y", "-i", server.Name()});
  close(holder);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.Has("Fatal Error: " + server.Name() + " is being used by another application")) << r.out;
}

TEST(NetworkPortE2E, ServerStoppedInTheFlashPassIsAPromptFatalError) {
  NEED_SER2NET();
  Sandbox box("");
  Server server(box, 0);
  Child c = box.StartRun({"-y", "-d", server.Name()});
  std::string out;
  ReadUntil(c.out, out, "Writing to flash", 120);
  ASSERT_NE(out.find("Writing to flash"), std::string::npos) << out;
  server.Stop();
  ReadUntil(c.out, out, "", 60);
  EXPECT_EQ(WaitFor(c.pid, 10), 1);
  close(c.out);
  EXPECT_NE(out.find("Fatal Error: Unable to write new software"), std::string::npos) << out;
  // The server's close reaches a read as the end of the stream, or a write
  // made after it as a reset: either names the network's reason.
  EXPECT_TRUE(out.find("Connection closed by the server") != std::string::npos ||
              out.find("Connection reset by peer") != std::string::npos)
      << out;
}

TEST(NetworkPortE2E, RefusedConnectionNamesHostPortAndReason) {
  Sandbox box("");
  const int port = FreePort();
  RunResult r = box.RunAsIs({"-y", "rfc2217://127.0.0.1:" + std::to_string(port)});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.Has("cannot connect to 127.0.0.1 port " + std::to_string(port) + ": Connection refused")) << r.out;
  EXPECT_TRUE(r.Has("Fatal Error")) << r.out;
}

}  // namespace
}  // namespace corv::e2e
