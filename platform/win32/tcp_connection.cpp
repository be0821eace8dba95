// TCP connections over Winsock: started once per process, a non-blocking
// connect waited for in select, receives waited for in select.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/clock.h"
#include "platform/system_error.h"
#include "platform/tcp_connection.h"

namespace corv {
namespace {

constexpr const char* kClosedByPeer = "Connection closed by the server";

// Winsock is started at the first connection and left to the process's end.
bool WinsockStarted(std::string& reason) {
  static int started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
  }();
  if (started != 0) reason = SystemReason(started);
  return started == 0;
}

// Waits up to `ms` for the socket to be readable (or writable): >0 ready,
// 0 time passed, <0 failure.
int WaitSocket(SOCKET s, bool forWrite, int ms) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  fd_set failed;
  FD_ZERO(&failed);
  FD_SET(s, &failed);
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  return select(0, forWrite ? nullptr : &set, forWrite ? &set : nullptr, &failed, &tv);
}

class WinsockTcp : public TcpConnection {
 public:
  explicit WinsockTcp(SOCKET s) : s_(s) {}
  ~WinsockTcp() override { closesocket(s_); }

  bool SendAll(const uint8_t* data, size_t count) override {
    size_t done = 0;
    while (done < count) {
      const int r = send(s_, reinterpret_cast<const char*>(data) + done, static_cast<int>(count - done), 0);
      if (r > 0) {
        done += static_cast<size_t>(r);
        continue;
      }
      const int err = WSAGetLastError();
      if (r < 0 && err == WSAEWOULDBLOCK) {
        WaitSocket(s_, true, 1000);
        continue;
      }
      reason_ = SystemReason(err);
      return false;
    }
    return true;
  }

  int ReceiveSome(uint8_t* buf, size_t count, int timeoutMs) override {
    if (closed_) return -1;
    const uint32_t start = SystemClock().TickMs();
    for (;;) {
      const int r = recv(s_, reinterpret_cast<char*>(buf), static_cast<int>(count), 0);
      if (r > 0) return r;
      if (r == 0) {
        closed_ = true;
        reason_ = kClosedByPeer;
        return -1;
      }
      const int err = WSAGetLastError();
      if (err != WSAEWOULDBLOCK) {
        closed_ = true;
        reason_ = SystemReason(err);
        return -1;
      }
      const int64_t left = int64_t{timeoutMs} - static_cast<int64_t>(SystemClock().TickMs() - start);
      if (left <= 0) return 0;
      if (WaitSocket(s_, false, static_cast<int>(left)) < 0) {
        closed_ = true;
        reason_ = SystemReason(WSAGetLastError());
        return -1;
      }
    }
  }

  std::string Reason() const override { return reason_; }

 private:
  SOCKET s_;
  bool closed_ = false;
  std::string reason_;
};

// One address tried: the connected socket, or INVALID_SOCKET with `err` set.
SOCKET ConnectOne(const addrinfo& a, int timeoutMs, int& err) {
  SOCKET s = socket(a.ai_family, a.ai_socktype, a.ai_protocol);
  if (s == INVALID_SOCKET) {
    err = WSAGetLastError();
    return s;
  }
  u_long nonBlocking = 1;
  ioctlsocket(s, FIONBIO, &nonBlocking);
  if (connect(s, a.ai_addr, static_cast<int>(a.ai_addrlen)) != 0) {
    err = WSAGetLastError();
    if (err != WSAEWOULDBLOCK) {
      closesocket(s);
      return INVALID_SOCKET;
    }
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_SET(s, &writable);
    FD_ZERO(&failed);
    FD_SET(s, &failed);
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    const int r = select(0, nullptr, &writable, &failed, &tv);
    err = 0;
    if (r == 0) {
      err = WSAETIMEDOUT;
    } else if (r < 0) {
      err = WSAGetLastError();
    } else if (FD_ISSET(s, &failed)) {
      int len = sizeof err;
      getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len);
      if (err == 0) err = WSAECONNREFUSED;
    }
    if (err) {
      closesocket(s);
      return INVALID_SOCKET;
    }
  }
  // Small packets go at once: every block of the unit link waits for its answer.
  BOOL one = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  return s;
}

}  // namespace

std::unique_ptr<TcpConnection> ConnectTcp(const std::string& host, uint16_t port, int timeoutMs,
                                          std::string& reason) {
  if (!WinsockStarted(reason)) return nullptr;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (const int r = getaddrinfo(host.c_str(), service.c_str(), &hints, &found)) {
    reason = SystemReason(r);
    return nullptr;
  }
  int err = 0;
  for (addrinfo* a = found; a; a = a->ai_next) {
    const SOCKET s = ConnectOne(*a, timeoutMs, err);
    if (s != INVALID_SOCKET) {
      freeaddrinfo(found);
      return std::make_unique<WinsockTcp>(s);
    }
  }
  freeaddrinfo(found);
  reason = SystemReason(err);
  return nullptr;
}

}  // namespace corv
