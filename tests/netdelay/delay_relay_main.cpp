// CorvDelayRelay UPSTREAM_PORT ONE_WAY_MS: a TCP relay on 127.0.0.1 that
// delays every byte by ONE_WAY_MS in each direction, so a serial device server
// on this machine stands for one across a network with a round trip of twice
// that. It listens on a port the system chooses, says "relay <port>" and
// serves each client with a connection of its own to 127.0.0.1:UPSTREAM_PORT
// until it is killed. With --cts it also reports CTS up in every modem-state
// notification of the server (RFC 2217 NOTIFY-MODEMSTATE), standing for a
// device server whose unit raises CTS: ser2net on a pseudo-terminal reports
// the modem lines down, so the overlapped transfer could not be had through
// it otherwise. Test and benchmark rigs only.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Chunk {
  Clock::time_point due;
  std::vector<unsigned char> bytes;
};

// Finds the server's NOTIFY-MODEMSTATE (IAC SB 44 107 <state> IAC SE) in the
// stream, whatever chunks it comes in, and sets CTS (0x10) in its state.
class CtsRaiser {
 public:
  void Pass(std::vector<unsigned char>& bytes) {
    for (unsigned char& b : bytes) {
      switch (state_) {
        case kData: state_ = b == kIac ? kAfterIac : kData; break;
        case kAfterIac: state_ = b == kSb ? kSubStart : kData; break;  // IAC IAC is a data byte
        case kSubStart: state_ = b == 44 ? kComPort : kInSub; break;
        case kComPort: state_ = b == 107 ? kModemState : kInSub; break;
        case kModemState:
          // Every line up is IAC (doubled) and stays so; every line but CTS
          // up would become a lone IAC, and is left as it is.
          if (b != 0xef) b = static_cast<unsigned char>(b | 0x10);
          state_ = b == kIac ? kSubIac : kInSub;
          break;
        case kInSub: state_ = b == kIac ? kSubIac : kInSub; break;
        case kSubIac: state_ = b == kSe ? kData : kInSub; break;
      }
    }
  }

 private:
  static constexpr unsigned char kIac = 255, kSb = 250, kSe = 240;
  enum { kData, kAfterIac, kSubStart, kComPort, kModemState, kInSub, kSubIac } state_ = kData;
};

// Moves bytes from `from` to `to`, each chunk held back until its due time;
// when `from` closes, what is held still goes, then both sides are shut so
// that the other direction ends too (a server sees its client go).
void Pump(int from, int to, std::chrono::milliseconds delay, bool raiseCts) {
  std::deque<Chunk> held;
  CtsRaiser cts;
  bool open = true;
  while (open || !held.empty()) {
    int wait = open ? 1000 : 0;
    if (!held.empty()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(held.front().due - Clock::now());
      wait = left.count() < 0 ? 0 : static_cast<int>(left.count()) + 1;
    }
    if (open) {
      pollfd p{from, POLLIN, 0};
      if (poll(&p, 1, wait) > 0) {
        unsigned char buf[4096];
        const ssize_t n = read(from, buf, sizeof buf);
        if (n <= 0) {
          open = false;
        } else {
          held.push_back({Clock::now() + delay, std::vector<unsigned char>(buf, buf + n)});
          if (raiseCts) cts.Pass(held.back().bytes);
        }
      }
    } else if (wait > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(wait));
    }
    while (!held.empty() && held.front().due <= Clock::now()) {
      const auto& b = held.front().bytes;
      if (write(to, b.data(), b.size()) != static_cast<ssize_t>(b.size())) {
        held.clear();
        open = false;
        break;
      }
      held.pop_front();
    }
  }
  shutdown(to, SHUT_RDWR);
  shutdown(from, SHUT_RDWR);
}

void NoDelay(int fd) {
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

}  // namespace

int main(int argc, char** argv) {
  const bool raiseCts = argc == 4 && std::string_view(argv[3]) == "--cts";
  if (argc != 3 && !raiseCts) {
    std::fprintf(stderr, "usage: CorvDelayRelay UPSTREAM_PORT ONE_WAY_MS [--cts]\n");
    return 2;
  }
  const int upstream = std::atoi(argv[1]);
  const std::chrono::milliseconds delay(std::atoi(argv[2]));
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener, 4) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    std::perror("relay");
    return 1;
  }
  std::printf("relay %d\n", ntohs(a.sin_port));
  std::fflush(stdout);
  for (;;) {
    const int client = accept(listener, nullptr, nullptr);
    if (client < 0) continue;
    const int server = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in s{};
    s.sin_family = AF_INET;
    s.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    s.sin_port = htons(static_cast<uint16_t>(upstream));
    if (connect(server, reinterpret_cast<sockaddr*>(&s), sizeof s) != 0) {
      close(client);
      close(server);
      continue;
    }
    NoDelay(client);
    NoDelay(server);
    std::thread([client, server, delay, raiseCts] {
      std::thread back(Pump, server, client, delay, raiseCts);
      Pump(client, server, delay, false);
      back.join();
      close(client);
      close(server);
    }).detach();
  }
}
