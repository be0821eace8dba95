// The log's file on a descriptor, held in the record from open to close.
#include "platform/log_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/held_record.h"

namespace corv {

int LogFile::Create(const std::string& path, bool& exists) {
  Close();
  exists = false;
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    exists = errno == EEXIST;
    return errno;
  }
  token_ = held::posix::HoldLog(fd);
  if (token_ == held::kNone) {
    close(fd);
    return ENFILE;
  }
  Note(LogLine::Bare);
  return 0;
}

void LogFile::Write(std::string_view text) {
  const held::posix::Entry* e = held::posix::Find(token_);
  if (!e) return;
  const int fd = e->fd;
  while (!text.empty()) {
    const ssize_t n = write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    text.remove_prefix(static_cast<size_t>(n));
  }
}

void LogFile::Note(LogLine line) {
  if (held::posix::Entry* e = held::posix::Find(token_)) e->line = static_cast<std::sig_atomic_t>(line);
}

void LogFile::Close() {
  held::Release(token_);
  token_ = held::kNone;
}

}  // namespace corv
