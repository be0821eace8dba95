// The termios port: exclusive open with the three failed-open outcomes, reads
// with a total time-out and writes with the per-byte write time-out, both
// waiting in poll on a non-blocking descriptor; line errors from the deltas of
// the device's error counters. A USB adapter is asked for its low-latency
// mode for as long as the port is open; the held record keeps what it had.
#include "platform/posix/port_posix.h"

#include "platform/posix/machine_folder.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/file_system.h"
#include "platform/network_port.h"
#include "platform/port_base.h"
#include "platform/system_port.h"
#include "platform/posix/held_record.h"
#include "platform/posix/posix_tty.h"

namespace corv {
namespace {

int64_t MonotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

std::string SystemText(int err) { return std::string("Error: ") + std::strerror(err); }

// Waits for `events` until `deadlineMs` (a deadline already passed still
// looks once): 1 ready, 0 time passed, -1 failure (errno set). A device that
// went away (an adapter pulled out, the unit's end of a pseudo-terminal
// closed) reports its hang-up at once and reads nothing from then on: that is
// a failure (EIO) whatever else poll reports, never a wait that runs out.
int WaitFor(int fd, short events, int64_t deadlineMs) {
  for (;;) {
    int64_t left = deadlineMs - MonotonicMs();
    if (left < 0) left = 0;
    pollfd p{fd, events, 0};
    const int r = poll(&p, 1, static_cast<int>(left > 60000 ? 60000 : left));
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) {
      errno = EIO;
      return -1;
    }
    if (r > 0 && (p.revents & events)) return 1;
    if (left == 0) return 0;
  }
}

// True when `path` is a regular file whose first line is a network port name
// (rfc2217://HOST:PORT), which goes into `name`.
bool NetworkPortEntry(const std::string& path, std::string& name) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  std::string text;
  int err = 0;
  if (!ReadWholeFile(path, text, err) || text.empty()) return false;
  const size_t end = text.find_first_of("\r\n");
  if (end != std::string::npos) text.resize(end);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
  if (!IsNetworkPortName(text)) return false;
  name = std::move(text);
  return true;
}

// The held record keeps the adapter's flags as found while they are changed.
posix_tty::KeptFlags KeptInRecord(held::posix::Entry& e) { return {e.flagsSaved, e.flags}; }

}  // namespace

class PosixPortDriver::Port : public PortBase {
 public:
  Port(const PortDriver::ErrorHook& hook, held::Token held, int fd, int32_t baud, int16_t readTimeoutMs,
       std::unique_ptr<posix_tty::SerialFlags> serialFlags, const posix_tty::LatencyRequest& latency)
      : PortBase(hook),
        held_(held),
        fd_(fd),
        baud_(baud),
        timeoutMs_(readTimeoutMs < 0 ? 0 : readTimeoutMs),
        serialFlags_(std::move(serialFlags)),
        latency_(latency) {
    posix_tty::ReadErrorCounts(fd_, counts_);
  }
  ~Port() override {
    // A way out may have given the port back already: then nothing is left.
    held::posix::Entry* e = held::posix::Find(held_);
    if (!e) return;
    Purge();
    // The adapter goes back to the latency it had for whoever uses it next.
    posix_tty::UndoLowLatency(*serialFlags_, latency_, KeptInRecord(*e));
    held::Release(held_);
  }

  int SetLine(const LineSettings& line) override {
    Purge();
    const int err = posix_tty::ApplyLine(fd_, line);
    if (err) {
      error_ = err;
      ReportSystemError();
      return -1;
    }
    baud_ = line.baud;
    return 1;
  }

  int CtsOn() override {
    bool on = false;
    const int err = posix_tty::ReadCts(fd_, on);
    if (err) {
      error_ = err;
      ReportSystemError();
      return 0;
    }
    return on ? 1 : 0;
  }

 protected:
  int ReadOnce(uint8_t* buf, uint16_t count) override {
    const int64_t deadline = MonotonicMs() + timeoutMs_;
    int n = 0;
    while (n < count) {
      const ssize_t r = read(fd_, buf + n, static_cast<size_t>(count - n));
      if (r > 0) {
        n += static_cast<int>(r);
        continue;
      }
      if (r < 0 && errno == EINTR) continue;
      if (r < 0 && errno != EAGAIN) return Failed(errno, n);
      // With no time-out only what is buffered, but a hang-up still fails.
      const int w = WaitFor(fd_, POLLIN, deadline);
      if (w == 0) break;
      if (w < 0) return Failed(errno, n);
    }
    return n;
  }

  int WriteOnce(const uint8_t* data, uint16_t count) override {
    const int64_t perByte = 10000 / (baud_ > 0 ? baud_ : 1) + 1;
    const int64_t deadline = MonotonicMs() + perByte * count + 1000;
    int n = 0;
    while (n < count) {
      const ssize_t r = write(fd_, data + n, static_cast<size_t>(count - n));
      if (r > 0) {
        n += static_cast<int>(r);
        continue;
      }
      if (r < 0 && errno == EINTR) continue;
      if (r < 0 && errno != EAGAIN) return Failed(errno, n);
      const int w = WaitFor(fd_, POLLOUT, deadline);
      if (w == 0) break;  // the write time-out: a short count
      if (w < 0) return Failed(errno, n);
    }
    return n;
  }

  bool DiscardPending() override {
    const int err = posix_tty::Flush(fd_);
    if (err) error_ = err;
    return err == 0;
  }

  bool FetchLineErrors(LineErrors& errors) override {
    posix_tty::ErrorCounts now;
    const int err = posix_tty::ReadErrorCounts(fd_, now);
    if (err) {
      error_ = err;
      return false;
    }
    errors = LineErrors{};
    if (now.available && counts_.available) {
      errors.frame = now.frame != counts_.frame;
      errors.overrun = now.overrun != counts_.overrun;
      errors.parity = now.parity != counts_.parity;
      errors.brk = now.brk != counts_.brk;
    }
    counts_ = now;
    return true;
  }

  std::string ErrorText() const override { return SystemText(error_); }
  int LastError() const override { return error_; }
  void SetReadTimeout(int16_t ms) override { timeoutMs_ = ms < 0 ? 0 : ms; }

 private:
  // Bytes already read are kept; only a step that moved nothing has failed.
  int Failed(int err, int moved) {
    error_ = err;
    return moved > 0 ? moved : -1;
  }

  held::Token held_;
  int fd_;
  int32_t baud_;
  int16_t timeoutMs_;
  int error_ = 0;
  posix_tty::ErrorCounts counts_;
  std::unique_ptr<posix_tty::SerialFlags> serialFlags_;
  posix_tty::LatencyRequest latency_;
};

std::string PosixPortDriver::DevicePath(int16_t port) {
  if (port < 1) return {};
  const bool rootSet = MachineFolderFromEnvironment();
  std::string entry = corv::MachineFolder() + "/com" + std::to_string(port);
  struct stat st {};
  if (rootSet || lstat(entry.c_str(), &st) == 0) return entry;
  return "/dev/ttyS" + std::to_string(port - 1);
}

std::unique_ptr<SerialPort> PosixPortDriver::Open(int16_t port, const LineSettings& line, int16_t readTimeoutMs,
                                                  OpenResult& result) {
  const auto fail = [&](OpenOutcome outcome, int err) {
    result.outcome = outcome;
    result.systemError = err;
    result.errorText = SystemText(err);
    return std::unique_ptr<SerialPort>();
  };
  const std::string path = DevicePath(port);
  if (path.empty()) return fail(OpenOutcome::NotPresent, ENOENT);
  // An entry that is a text file names a port behind a serial device server.
  std::string name;
  if (NetworkPortEntry(path, name)) return OpenNetworkPort(name, line, readTimeoutMs, Hook(), result);

  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    switch (err) {
      case ENOENT:
      case ENXIO:
      case ENODEV:
      case ENOTDIR:
        return fail(OpenOutcome::NotPresent, err);
      case EBUSY:
        return fail(OpenOutcome::Busy, err);
      default:
        return fail(OpenOutcome::OtherError, err);
    }
  }
  // Two programs (root ignores TIOCEXCL) are kept apart by the flock.
  if (flock(fd, LOCK_EX | LOCK_NB) < 0) {
    const int err = errno;
    close(fd);
    return fail(err == EWOULDBLOCK ? OpenOutcome::Busy : OpenOutcome::OtherError, err);
  }
  // The port is ours from here on: every way out must give it back.
  const held::Token token = held::posix::HoldPort(fd);
  held::posix::Entry* entry = held::posix::Find(token);
  if (!entry) {
    close(fd);
    return fail(OpenOutcome::OtherError, ENFILE);
  }
  // From here on a failure is reported, and the errno of the failed step is
  // kept for the caller before the device is closed. The flag is noted before
  // it is set, so that a signal at any moment clears it.
  entry->exclusive = 1;
  if (const int err = posix_tty::SetExclusive(fd, true)) {
    entry->exclusive = 0;
    held::Release(token);
    fail(OpenOutcome::OtherError, err);
    Report(result.errorText);
    return nullptr;
  }
  if (const int err = posix_tty::ApplyLine(fd, line)) {
    held::Release(token);
    fail(err == EINVAL ? OpenOutcome::SettingRefused : OpenOutcome::OtherError, err);
    Report(result.errorText);
    return nullptr;
  }
  // Asked last, so that no failed step above has anything to undo.
  std::unique_ptr<posix_tty::SerialFlags> flags = serialFlags_(fd);
  const posix_tty::LatencyRequest latency = posix_tty::AskLowLatency(*flags, KeptInRecord(*entry));
  if (latency.result == posix_tty::LatencyRequest::Result::Set) {
    Report("Low latency mode set");
  } else if (latency.result == posix_tty::LatencyRequest::Result::Refused) {
    Report("Low latency mode refused: " + SystemText(latency.error));
  }
  auto opened = std::make_unique<Port>(Hook(), token, fd, line.baud, readTimeoutMs, std::move(flags), latency);
  opened->Purge();
  result.outcome = OpenOutcome::Opened;
  result.systemError = 0;
  result.errorText.clear();
  return opened;
}

std::unique_ptr<PortDriver> SystemPortDriver() { return std::make_unique<PosixPortDriver>(); }

}  // namespace corv
