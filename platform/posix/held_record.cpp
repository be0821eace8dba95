// The held record on POSIX: the table of entries (platform/held_table.h), the
// system's step that gives one thing back, and the registrations of the port,
// the log, the terminal and the lock file.
#include "platform/posix/held_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/held_table.h"
#include "platform/posix/posix_tty.h"

namespace corv::held {

namespace posix {
namespace {

int RemoveFile(const char* path) {
  if (unlink(path) == 0) return 0;
  // Writable for the owner; what the others may do with it stays as it was.
  struct stat st;
  if (stat(path, &st) == 0) chmod(path, (st.st_mode & 07777) | S_IWUSR);
  return unlink(path) == 0 ? 0 : errno;
}

// The record's own giving back of one thing, step by step as the kind needs.
int GiveBackStep(Entry& e) {
  switch (e.kind) {
    case Kind::LockFile:
      return RemoveFile(e.path);
    case Kind::Port:
      if (e.flagsSaved) posix_tty::PutBackLowLatency(e.fd, e.flags);
      // The exclusive flag outlives the close on a pseudo-terminal.
      if (e.exclusive) posix_tty::SetExclusive(e.fd, false);
      close(e.fd);
      return 0;
    case Kind::Log:
      close(e.fd);
      return 0;
    case Kind::Terminal:
      // From the background the settings are no longer ours to change: the
      // shell that took the terminal back has put its own.
      if (InForeground()) tcsetattr(STDIN_FILENO, TCSANOW, &e.terminal);
      return 0;
  }
  return 0;
}

Table<Entry> table(GiveBackStep);

}  // namespace

Token HoldPort(int fd) {
  Entry* e = table.Claim(Kind::Port);
  if (e) e->fd = fd;
  return table.Publish(e);
}

Token HoldLog(int fd) {
  Entry* e = table.Claim(Kind::Log);
  if (e) {
    e->fd = fd;
    e->openedMs = static_cast<std::sig_atomic_t>(TickMs());
  }
  return table.Publish(e);
}

Token HoldTerminal(const struct termios& saved) {
  Entry* e = table.Claim(Kind::Terminal);
  if (e) e->terminal = saved;
  return table.Publish(e);
}

Entry* Find(Token token) { return table.Find(token); }

const Entry* FindHeld(Kind kind) { return table.FindHeld(kind); }

void ReleaseEverything() { table.ReleaseEverything(); }

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
using posix::table;

bool Holds(Token token) { return table.Find(token) != nullptr; }

int Release(Token token) {
  Entry* e = table.Find(token);
  return e ? table.GiveBack(*e) : 0;
}

void ReleaseAll() { table.ReleaseAll(); }

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
  Entry* e = table.Claim(Kind::LockFile);
  if (!e) {
    // Nowhere to note it: a lock file that no way out would remove is not made.
    unlink(path.c_str());
    error = ENFILE;
    return kNone;
  }
  std::memcpy(e->path, path.c_str(), path.size() + 1);
  return table.Publish(e);
}

void Owner::Take(Kind kind, std::function<void()> giveBack) {
  if (Held()) return;
  token_ = table.TakeForOwner(kind, std::move(giveBack));
}

void Owner::Drop() {
  table.DropOwner(token_);
  token_ = kNone;
}

}  // namespace corv::held
