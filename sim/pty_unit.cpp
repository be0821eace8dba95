// The pseudo-terminal server of the CorvSim program.
#include "sim/pty_unit.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sim/pty_rate.h"

namespace corv::sim {

uint64_t MonotonicUs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000 + static_cast<uint64_t>(ts.tv_nsec) / 1000;
}

namespace {

// What a receiver makes of a byte sent at another rate: never the byte itself.
uint8_t Garble(uint8_t b, int32_t sent, int32_t heard) {
  uint32_t x = (static_cast<uint32_t>(sent) * 2654435761u) ^ static_cast<uint32_t>(heard) ^ (b * 40503u);
  x ^= x >> 13;
  x *= 0x5bd1e995u;
  x ^= x >> 15;
  const auto g = static_cast<uint8_t>(x);
  return g == b ? static_cast<uint8_t>(g ^ 0x80) : g;
}

}  // namespace

PtyUnit::PtyUnit(const UnitProfile& profile, std::string linkPath, std::string statePath)
    : model_(profile), linkPath_(std::move(linkPath)), statePath_(std::move(statePath)), wireIn_(profile.wireIn) {
  // Bytes of one write arrive together; a pause of the program between the
  // parts of one frame is never this long.
  model_.SetMinSilenceUs(20000);
}

PtyUnit::~PtyUnit() {
  if (slave_ >= 0) close(slave_);
  if (master_ >= 0) close(master_);
}

bool PtyUnit::Open(std::string& error) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    error = std::string("cannot make a pseudo-terminal: ") + std::strerror(errno);
    return false;
  }
  char name[128];
  if (ptsname_r(master_, name, sizeof name) != 0) {
    error = std::string("ptsname: ") + std::strerror(errno);
    return false;
  }
  slavePath_ = name;
  // Held open for the whole service: the program's closing the port then never
  // hangs the pty up, and its next open finds the settings it left.
  slave_ = open(name, O_RDWR | O_NOCTTY);
  if (slave_ < 0 || !MakeRaw(slave_)) {
    error = "cannot open " + slavePath_ + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (lstat(linkPath_.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
    error = linkPath_ + " exists and is not a link";
    return false;
  }
  const std::string tmp = linkPath_ + ".corvsim" + std::to_string(getpid());
  unlink(tmp.c_str());
  if (symlink(slavePath_.c_str(), tmp.c_str()) != 0 || rename(tmp.c_str(), linkPath_.c_str()) != 0) {
    error = "cannot make " + linkPath_ + ": " + std::strerror(errno);
    unlink(tmp.c_str());
    return false;
  }
  model_.Attach(this, MonotonicUs());
  return true;
}

void PtyUnit::RemoveLink() {
  char target[256];
  const ssize_t n = readlink(linkPath_.c_str(), target, sizeof target - 1);
  if (n <= 0) return;
  target[n] = '\0';
  if (slavePath_ == target) unlink(linkPath_.c_str());
}

bool PtyUnit::WriteState() const {
  if (statePath_.empty()) return true;
  const std::string tmp = statePath_ + ".tmp";
  const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  const std::string text = model_.StateText();
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t w = write(fd, text.data() + done, text.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) break;
    done += static_cast<size_t>(w);
  }
  const bool ok = done == text.size() && fsync(fd) == 0;
  close(fd);
  return ok && rename(tmp.c_str(), statePath_.c_str()) == 0;
}

void PtyUnit::Send(uint64_t atUs, const uint8_t* data, size_t n) {
  // A pty passes the bytes at once, where a wire takes their time: they are
  // written when the last one would have left the unit, so that nothing the
  // program sends in answer reaches the unit before it could have heard it
  // (the unit hears a rate it set in a reply only from that moment on).
  const uint64_t start = std::max(atUs, txFreeUs_);
  const LineAtUs line = LineAt(start);
  const uint64_t bits = line.evenParity ? 12 : 11;
  const uint64_t baud = static_cast<uint64_t>(line.baud > 0 ? line.baud : 9600);
  txFreeUs_ = start + n * ((bits * 1000000 + baud - 1) / baud);
  Out o{txFreeUs_, std::vector<uint8_t>(data, data + n)};
  auto pos = std::upper_bound(out_.begin(), out_.end(), o.atUs, [](uint64_t t, const Out& x) { return t < x.atUs; });
  out_.insert(pos, std::move(o));
}

void PtyUnit::Listen(uint64_t atUs, int32_t baud, bool evenParity) {
  while (!listen_.empty() && listen_.back().atUs >= atUs) listen_.pop_back();
  listen_.push_back({atUs, baud, evenParity});
  if (listen_.size() > 16) listen_.erase(listen_.begin(), listen_.end() - 8);
}

void PtyUnit::Flush(uint64_t atUs) {
  while (!out_.empty() && out_.back().atUs >= atUs) out_.pop_back();
  txFreeUs_ = std::min(txFreeUs_, atUs);
}

PtyUnit::LineAtUs PtyUnit::LineAt(uint64_t us) const {
  LineAtUs line{0, 0, false};
  for (const LineAtUs& l : listen_) {
    if (l.atUs > us) break;
    line = l;
  }
  return line;
}

void PtyUnit::WriteDue(uint64_t nowUs) {
  while (!out_.empty() && out_.front().atUs <= nowUs) {
    const std::vector<uint8_t>& b = out_.front().bytes;
    size_t done = 0;
    while (done < b.size()) {
      const ssize_t w = write(master_, b.data() + done, b.size() - done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) break;  // nobody reads and the buffer is full: the bytes are lost, as on a wire
      done += static_cast<size_t>(w);
    }
    out_.pop_front();
  }
}

void PtyUnit::ReadInput(uint64_t nowUs) {
  uint8_t buf[4096];
  for (;;) {
    const ssize_t n = read(master_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    const int32_t sent = TerminalRate(slave_);
    if (!wireIn_) {
      model_.Advance(nowUs);
      for (ssize_t i = 0; i < n; ++i) Hear(nowUs, buf[i], sent);
      continue;
    }
    // 1 start, 8 data, 2 stop bits and the parity bit of the line the unit
    // listens at (a pty cannot show the parity the program set).
    const uint64_t baud = static_cast<uint64_t>(sent > 0 ? sent : 9600);
    const uint64_t byteUs = ((LineAt(nowUs).evenParity ? 12 : 11) * 1000000 + baud - 1) / baud;
    for (ssize_t i = 0; i < n; ++i) {
      rxFreeUs_ = std::max(rxFreeUs_, nowUs) + byteUs;
      in_.push_back({rxFreeUs_, buf[i], sent});
    }
  }
}

void PtyUnit::Hear(uint64_t atUs, uint8_t byte, int32_t sentBaud) {
  const int32_t heard = LineAt(atUs).baud;
  model_.OnByte(atUs, sentBaud == heard ? byte : Garble(byte, sentBaud, heard));
}

void PtyUnit::HearDue(uint64_t nowUs) {
  while (!in_.empty() && in_.front().atUs <= nowUs) {
    const In b = in_.front();
    in_.pop_front();
    model_.Advance(b.atUs);
    Hear(b.atUs, b.byte, b.sentBaud);
  }
}

int PtyUnit::Serve(int signalFd) {
  for (;;) {
    uint64_t now = MonotonicUs();
    HearDue(now);
    model_.Advance(now);
    WriteDue(now);
    uint64_t next = now + 100000;
    if (!out_.empty()) next = std::min(next, out_.front().atUs);
    if (!in_.empty()) next = std::min(next, in_.front().atUs);
    if (const uint64_t change = model_.PendingChangeUs(); change != 0) next = std::min(next, change);
    // To the microsecond: a reply waits for its wire time, a millisecond's
    // rounding would add most of a block's time to every exchange.
    const uint64_t waitUs = next > now ? next - now : 0;
    const timespec timeout{static_cast<time_t>(waitUs / 1000000), static_cast<long>(waitUs % 1000000) * 1000};
    pollfd fds[2] = {{master_, POLLIN, 0}, {signalFd, POLLIN, 0}};
    const int r = ppoll(fds, 2, &timeout, nullptr);
    if (r < 0 && errno != EINTR) return 1;
    now = MonotonicUs();
    if (r > 0 && (fds[0].revents & POLLIN)) ReadInput(now);
    if (r > 0 && (fds[0].revents & (POLLHUP | POLLERR)) && !(fds[0].revents & POLLIN)) {
      // Cannot happen while the slave is held open; do not spin if it does.
      usleep(10000);
    }
    if (r > 0 && (fds[1].revents & POLLIN)) {
      signalfd_siginfo si{};
      if (read(signalFd, &si, sizeof si) != static_cast<ssize_t>(sizeof si)) continue;
      switch (si.ssi_signo) {
        case SIGUSR1:
          model_.PowerCycle(now);
          break;
        case SIGUSR2:
          // Said once the file is in place, so a test reads this moment's state.
          std::printf(WriteState() ? "state written\n" : "state not written\n");
          std::fflush(stdout);
          break;
        default:
          return 0;
      }
    }
  }
}

}  // namespace corv::sim
