// CorvRateBridge: carries the bytes of a QEMU usb-serial device on a socket
// chardev to a CorvSim pseudo-terminal, and sets on that terminal the rate and
// format the guest's driver set on the emulated adapter, which QEMU tells only
// through its trace (usb_serial_set_baud, usb_serial_set_data). A socket
// chardev gives the guest CTS, DSR and DCD high, so the program in the guest
// sees a unit that raises CTS, and the unit hears the rate the program set.
//   CorvRateBridge --listen SOCKET --tty PATH --trace FILE --bus N
// Listens on the Unix socket SOCKET (QEMU connects as a client), prints
// "ready" once it does, follows FILE (QEMU's -D file with the log backend) for
// the events of the devices on USB bus N, and prints one line per line setting
// it applies. Ends on SIGTERM or SIGINT.
//
// Order: QEMU writes an event to its trace before the bytes that follow it go
// to the socket, so bytes read from the socket are passed on only after the
// trace has been read up to its end.
#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/realtty/bridge/rate_trace.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void OnStop(int) { g_stop = 1; }

double Seconds() {
  static timespec start{};
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  if (start.tv_sec == 0 && start.tv_nsec == 0) start = now;
  return static_cast<double>(now.tv_sec - start.tv_sec) + static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}

struct Line {
  int32_t traced = 0;  // the rate in the trace; 0 until the first event
  char parity = 'N';
  int dataBits = 8;
  int stopBits = 1;
  bool operator==(const Line&) const = default;
};

// The events of one USB bus in QEMU's trace file, read as it grows.
class TraceFollower {
 public:
  TraceFollower(std::string path, int bus) : path_(std::move(path)), bus_(bus) {}
  ~TraceFollower() {
    if (fd_ >= 0) close(fd_);
  }
  // Reads what was added since the last call; `line` takes every event of the bus.
  void Follow(Line& line) {
    if (fd_ < 0 && (fd_ = open(path_.c_str(), O_RDONLY | O_CLOEXEC)) < 0) return;
    char buf[8192];
    for (;;) {
      const ssize_t n = read(fd_, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      pending_.append(buf, static_cast<size_t>(n));
    }
    size_t start = 0;
    for (size_t nl; (nl = pending_.find('\n', start)) != std::string::npos; start = nl + 1) {
      const auto e = corv::realtty::ParseTraceLine(std::string_view(pending_).substr(start, nl - start));
      if (!e || e->bus != bus_) continue;
      if (e->kind == corv::realtty::LineEvent::Kind::kRate) {
        line.traced = e->rate;
      } else {
        line.parity = e->parity;
        line.dataBits = e->dataBits;
        line.stopBits = e->stopBits;
      }
    }
    pending_.erase(0, start);
  }

 private:
  std::string path_;
  int bus_;
  int fd_ = -1;
  std::string pending_;  // a line QEMU has not finished writing
};

bool SetRaw(int fd) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  return ioctl(fd, TCSETS2, &t) == 0;
}

// Sets the terminal's rate (the standard rate heard in the traced one) and
// format. A pseudo-terminal keeps the rate and the stop bits; Linux drops its
// parity.
bool Apply(int fd, const Line& line, int32_t rate) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | CSIZE | CSTOPB | PARENB | PARODD);
  t.c_cflag |= BOTHER | (line.dataBits == 7 ? CS7 : line.dataBits == 6 ? CS6 : line.dataBits == 5 ? CS5 : CS8);
  if (line.stopBits == 2) t.c_cflag |= CSTOPB;
  if (line.parity != 'N') t.c_cflag |= PARENB;
  if (line.parity == 'O') t.c_cflag |= PARODD;
  t.c_ispeed = static_cast<speed_t>(rate);
  t.c_ospeed = static_cast<speed_t>(rate);
  return ioctl(fd, TCSETS2, &t) == 0;
}

// Writes all of `data` to a non-blocking descriptor, waiting up to 5 s for it
// to take more; what it does not take by then is lost, as on a wire.
void WriteAll(int fd, const char* data, size_t n) {
  while (n > 0 && !g_stop) {
    const ssize_t w = write(fd, data, n);
    if (w > 0) {
      data += w;
      n -= static_cast<size_t>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno != EAGAIN) return;
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, 5000) <= 0) return;
  }
}

int Usage() {
  std::fprintf(stderr, "usage: CorvRateBridge --listen SOCKET --tty PATH --trace FILE --bus N\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string socketPath, ttyPath, tracePath;
  int bus = -1;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--listen") socketPath = argv[i + 1];
    else if (a == "--tty") ttyPath = argv[i + 1];
    else if (a == "--trace") tracePath = argv[i + 1];
    else if (a == "--bus") bus = std::atoi(argv[i + 1]);
    else return Usage();
  }
  if (argc % 2 == 0 || socketPath.empty() || ttyPath.empty() || tracePath.empty() || bus < 0) return Usage();

  struct sigaction sa {};
  sa.sa_handler = OnStop;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  const int tty = open(ttyPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (tty < 0 || !SetRaw(tty)) {
    std::fprintf(stderr, "CorvRateBridge: %s: %s\n", ttyPath.c_str(), std::strerror(errno));
    return 1;
  }
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socketPath.size() >= sizeof addr.sun_path) return Usage();
  std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  unlink(socketPath.c_str());
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listener, 1) != 0) {
    std::fprintf(stderr, "CorvRateBridge: %s: %s\n", socketPath.c_str(), std::strerror(errno));
    return 1;
  }
  Seconds();
  std::printf("ready\n");
  std::fflush(stdout);

  TraceFollower trace(tracePath, bus);
  Line wanted, applied;
  int conn = -1;
  uint64_t toUnit = 0, toGuest = 0;
  char buf[4096];
  const auto follow = [&] {
    trace.Follow(wanted);
    if (wanted == applied || wanted.traced == 0) return;
    const int32_t rate = corv::realtty::HeardRate(wanted.traced);
    const bool ok = Apply(tty, wanted, rate);
    std::printf("%9.3f rate %d (traced %d) %d%c%d%s\n", Seconds(), rate, wanted.traced, wanted.dataBits, wanted.parity,
                wanted.stopBits, ok ? "" : " NOT SET");
    std::fflush(stdout);
    applied = wanted;
  };

  while (!g_stop) {
    pollfd fds[2] = {{conn >= 0 ? conn : listener, POLLIN, 0}, {tty, POLLIN, 0}};
    const int r = poll(fds, 2, 10);
    if (r < 0 && errno != EINTR) break;
    if (conn < 0 && (fds[0].revents & POLLIN)) {
      conn = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (conn >= 0) std::printf("%9.3f connected\n", Seconds());
      std::fflush(stdout);
    } else if (conn >= 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
      const ssize_t n = read(conn, buf, sizeof buf);
      if (n > 0) {
        follow();  // the events written before these bytes
        WriteAll(tty, buf, static_cast<size_t>(n));
        toUnit += static_cast<uint64_t>(n);
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        std::printf("%9.3f disconnected; bytes to the unit %llu, to the guest %llu\n", Seconds(),
                    static_cast<unsigned long long>(toUnit), static_cast<unsigned long long>(toGuest));
        std::fflush(stdout);
        close(conn);
        conn = -1;
      }
    }
    follow();  // a setting with no bytes after it yet
    if (fds[1].revents & POLLIN) {
      const ssize_t n = read(tty, buf, sizeof buf);
      if (n > 0 && conn >= 0) {
        WriteAll(conn, buf, static_cast<size_t>(n));
        toGuest += static_cast<uint64_t>(n);
      }
    } else if (fds[1].revents & (POLLHUP | POLLERR)) {
      usleep(10000);  // the unit's end is gone; do not spin until the stop signal
    }
  }
  if (conn >= 0) close(conn);
  close(listener);
  unlink(socketPath.c_str());
  close(tty);
  return 0;
}
