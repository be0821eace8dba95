// The held record: storage constant-initialised, so that a signal may read it
// at any moment of the process; registration, giving back one thing or all.
#include "platform/posix/held_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/posix/posix_tty.h"

namespace corv::held {

namespace posix {
namespace {

// More than one run's worth: tests hold several things of a kind at once.
constexpr int kEntries = 16;
Entry entries[kEntries];
// Owners' ways of giving back; never touched by a signal.
std::function<void()> giveBacks[kEntries];
Token lastToken = kNone;

void Fence() { std::atomic_signal_fence(std::memory_order_seq_cst); }

// A free entry made ready for `kind`; null when all are taken.
Entry* Claim(Kind kind) {
  for (Entry& e : entries) {
    if (e.held) continue;
    e.token = ++lastToken;
    e.kind = kind;
    e.owner = false;
    e.fd = -1;
    e.exclusive = 0;
    e.flagsSaved = 0;
    e.flags = 0;
    e.openedMs = 0;
    e.line = 0;
    e.path[0] = '\0';
    return &e;
  }
  return nullptr;
}

Token Publish(Entry* e) {
  if (!e) return kNone;
  Fence();
  e->held = 1;
  return e->token;
}

int RemoveFile(const char* path) {
  if (unlink(path) == 0) return 0;
  // Writable for the owner; what the others may do with it stays as it was.
  struct stat st;
  if (stat(path, &st) == 0) chmod(path, (st.st_mode & 07777) | S_IWUSR);
  return unlink(path) == 0 ? 0 : errno;
}

// The record's own giving back, step by step as the kind needs; the entry is
// let go after the last step, so a signal in between repeats steps rather
// than skipping them.
int GiveBack(Entry& e) {
  int err = 0;
  if (!e.owner) {
    switch (e.kind) {
      case Kind::LockFile:
        err = RemoveFile(e.path);
        break;
      case Kind::Port:
        if (e.flagsSaved) posix_tty::PutBackLowLatency(e.fd, e.flags);
        // The exclusive flag outlives the close on a pseudo-terminal.
        if (e.exclusive) posix_tty::SetExclusive(e.fd, false);
        close(e.fd);
        break;
      case Kind::Log:
        close(e.fd);
        break;
      case Kind::Terminal:
        // From the background the settings are no longer ours to change: the
        // shell that took the terminal back has put its own.
        if (InForeground()) tcsetattr(STDIN_FILENO, TCSANOW, &e.terminal);
        break;
    }
  }
  Fence();
  e.held = 0;
  return err;
}

constexpr Kind kOrder[] = {Kind::LockFile, Kind::Port, Kind::Log, Kind::Terminal};

}  // namespace

Token HoldPort(int fd) {
  Entry* e = Claim(Kind::Port);
  if (e) e->fd = fd;
  return Publish(e);
}

Token HoldLog(int fd) {
  Entry* e = Claim(Kind::Log);
  if (e) {
    e->fd = fd;
    e->openedMs = static_cast<std::sig_atomic_t>(TickMs());
  }
  return Publish(e);
}

Token HoldTerminal(const struct termios& saved) {
  Entry* e = Claim(Kind::Terminal);
  if (e) e->terminal = saved;
  return Publish(e);
}

Entry* Find(Token token) {
  if (token == kNone) return nullptr;
  for (Entry& e : entries) {
    if (e.held && e.token == token) return &e;
  }
  return nullptr;
}

const Entry* FindHeld(Kind kind) {
  for (const Entry& e : entries) {
    if (e.held && !e.owner && e.kind == kind) return &e;
  }
  return nullptr;
}

void ReleaseEverything() {
  for (Kind kind : kOrder) {
    for (Entry& e : entries) {
      if (e.held && e.kind == kind) GiveBack(e);
    }
  }
}

uint32_t TickMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

bool InForeground() {
  const pid_t group = tcgetpgrp(STDIN_FILENO);
  return group < 0 || group == getpgrp();
}

}  // namespace posix

using posix::Entry;
using posix::Find;

bool Holds(Token token) { return Find(token) != nullptr; }

int Release(Token token) {
  Entry* e = Find(token);
  return e ? posix::GiveBack(*e) : 0;
}

void ReleaseAll() {
  // The owners first, kind by kind; each is forgotten before it is asked, so
  // that a way out taken while it gives back does not ask it again.
  for (Kind kind : posix::kOrder) {
    for (int i = 0; i < posix::kEntries; ++i) {
      Entry& e = posix::entries[i];
      if (!e.held || !e.owner || e.kind != kind) continue;
      std::function<void()> giveBack = std::move(posix::giveBacks[i]);
      posix::giveBacks[i] = nullptr;
      posix::GiveBack(e);
      if (giveBack) giveBack();
    }
  }
  posix::ReleaseEverything();
}

Token MakeLockFile(const std::string& path, int& error) {
  error = 0;
  if (path.size() >= sizeof(Entry::path)) {
    error = ENAMETOOLONG;
    return kNone;
  }
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR);
  if (fd < 0) {
    error = errno;
    return kNone;
  }
  close(fd);
  Entry* e = posix::Claim(Kind::LockFile);
  if (!e) {
    // Nowhere to note it: a lock file that no way out would remove is not made.
    unlink(path.c_str());
    error = ENFILE;
    return kNone;
  }
  std::memcpy(e->path, path.c_str(), path.size() + 1);
  return posix::Publish(e);
}

void Owner::Take(Kind kind, std::function<void()> giveBack) {
  if (Held()) return;
  Entry* e = posix::Claim(kind);
  if (!e) return;
  e->owner = true;
  posix::giveBacks[e - posix::entries] = std::move(giveBack);
  token_ = posix::Publish(e);
}

void Owner::Drop() {
  if (Entry* e = Find(token_)) {
    posix::giveBacks[e - posix::entries] = nullptr;
    posix::GiveBack(*e);
  }
  token_ = kNone;
}

}  // namespace corv::held
