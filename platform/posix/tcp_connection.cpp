// TCP connections over POSIX sockets: a non-blocking connect waited for in
// poll, sends that go on after a signal, receives waited for in poll.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/clock.h"
#include "platform/system_error.h"
#include "platform/tcp_connection.h"

namespace corv {
namespace {

constexpr const char* kClosedByPeer = "Connection closed by the server";

class PosixTcp : public TcpConnection {
 public:
  explicit PosixTcp(int fd) : fd_(fd) {}
  ~PosixTcp() override { close(fd_); }

  bool SendAll(const uint8_t* data, size_t count) override {
    size_t done = 0;
    while (done < count) {
      const ssize_t r = send(fd_, data + done, count - done, MSG_NOSIGNAL);
      if (r > 0) {
        done += static_cast<size_t>(r);
        continue;
      }
      if (r < 0 && errno == EINTR) continue;
      if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        pollfd p{fd_, POLLOUT, 0};
        if (poll(&p, 1, 1000) < 0 && errno != EINTR) return Failed(errno);
        continue;
      }
      return Failed(r < 0 ? errno : EPIPE);
    }
    return true;
  }

  int ReceiveSome(uint8_t* buf, size_t count, int timeoutMs) override {
    if (closed_) return -1;
    const uint32_t start = SystemClock().TickMs();
    for (;;) {
      const ssize_t r = recv(fd_, buf, count, 0);
      if (r > 0) {
        QuickAck();
        return static_cast<int>(r);
      }
      if (r == 0) {
        closed_ = true;
        reason_ = kClosedByPeer;
        return -1;
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        closed_ = true;
        Failed(errno);
        return -1;
      }
      const int64_t left = int64_t{timeoutMs} - static_cast<int64_t>(SystemClock().TickMs() - start);
      if (left <= 0) return 0;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) {
        closed_ = true;
        Failed(errno);
        return -1;
      }
    }
  }

  std::string Reason() const override { return reason_; }

 private:
  // A server that holds the tail of an answer until its head is acknowledged
  // (Nagle's rule; ser2net does unless told nodelay) would otherwise wait for
  // the delayed acknowledgement, up to 40 ms per answer. Linux forgets the
  // setting after a while, so it is set anew after every receive.
  void QuickAck() {
#ifdef TCP_QUICKACK
    const int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
#endif
  }

  bool Failed(int err) {
    reason_ = SystemReason(err);
    return false;
  }

  int fd_;
  bool closed_ = false;
  std::string reason_;
};

// One address tried: the connected socket, or -1 with errno set.
int ConnectOne(const addrinfo& a, int timeoutMs) {
  const int fd = socket(a.ai_family, a.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a.ai_protocol);
  if (fd < 0) return -1;
  if (connect(fd, a.ai_addr, a.ai_addrlen) < 0) {
    if (errno != EINPROGRESS) {
      const int err = errno;
      close(fd);
      errno = err;
      return -1;
    }
    pollfd p{fd, POLLOUT, 0};
    int r;
    do {
      r = poll(&p, 1, timeoutMs);
    } while (r < 0 && errno == EINTR);
    int err = 0;
    socklen_t len = sizeof err;
    if (r == 0) {
      err = ETIMEDOUT;
    } else if (r < 0) {
      err = errno;
    } else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) {
      err = errno;
    }
    if (err) {
      close(fd);
      errno = err;
      return -1;
    }
  }
  // Small packets go at once: every block of the unit link waits for its answer.
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

}  // namespace

std::unique_ptr<TcpConnection> ConnectTcp(const std::string& host, uint16_t port, int timeoutMs,
                                          std::string& reason) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (const int r = getaddrinfo(host.c_str(), service.c_str(), &hints, &found)) {
    reason = r == EAI_SYSTEM ? SystemReason(errno) : gai_strerror(r);
    return nullptr;
  }
  int err = 0;
  for (addrinfo* a = found; a; a = a->ai_next) {
    const int fd = ConnectOne(*a, timeoutMs);
    if (fd >= 0) {
      freeaddrinfo(found);
      return std::make_unique<PosixTcp>(fd);
    }
    err = errno;
  }
  freeaddrinfo(found);
  reason = SystemReason(err);
  return nullptr;
}

}  // namespace corv
