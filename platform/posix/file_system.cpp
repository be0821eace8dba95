// Files and folders through open, read, write, fsync, rename, unlink, chmod and
// mkdir.
#include "platform/file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/system_error.h"

namespace corv {

namespace {
bool Fail(std::string* error) {
  if (error) *error = SystemErrorText(errno);
  return false;
}
}  // namespace

bool FileExists(const std::string& name, std::string* error) {
  if (name.empty()) {
    if (error) *error = "Invalid Filename";
    return false;
  }
  struct stat st;
  if (stat(name.c_str(), &st) != 0) return Fail(error);
  return true;
}

FileLookup LookUpFile(const std::string& name, int& errorNumber) {
  struct stat st;
  if (stat(name.c_str(), &st) == 0) return FileLookup::Present;
  errorNumber = errno;
  return errno == ENOENT || errno == ENOTDIR ? FileLookup::Missing : FileLookup::Unknown;
}

bool RemoveFile(const std::string& name, std::string* error) {
  if (unlink(name.c_str()) == 0) return true;
  // Writable for the owner; what the others may do with it stays as it was.
  struct stat st;
  if (stat(name.c_str(), &st) == 0) chmod(name.c_str(), (st.st_mode & 07777) | S_IWUSR);
  if (unlink(name.c_str()) == 0) return true;
  return Fail(error);
}

bool RenameFile(const std::string& from, const std::string& to, std::string* error) {
  if (rename(from.c_str(), to.c_str()) == 0) return true;
  return Fail(error);
}

bool MakeDirectory(const std::string& name, std::string* error) {
  if (mkdir(name.c_str(), 0777) == 0) return true;
  return Fail(error);
}

int CreateNewFile(const std::string& name, int& errorNumber) {
  int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) errorNumber = errno;
  return fd;
}

bool FileAlreadyExists(int errorNumber) { return errorNumber == EEXIST; }

void CloseFile(int fd) {
  if (fd >= 0) close(fd);
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool ReadWholeFile(const std::string& name, std::string& bytes, int& errorNumber) {
  bytes.clear();
  int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    errorNumber = errno;
    return false;
  }
  char buf[8192];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      errorNumber = errno;
      close(fd);
      return false;
    }
    if (n == 0) break;
    bytes.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return true;
}

bool FileNotFound(int errorNumber) { return errorNumber == ENOENT; }

namespace {

// The temporary file of a replacement, made here and now: never an existing
// file or a link planted under its name (a shared job folder), whose target
// the contents would otherwise go to. A name left by an earlier run is
// removed (a link itself, not what it points to) and the file made once more;
// -1 with the reason of the step that failed.
int CreateTemporaryFile(const std::string& temp, mode_t mode, int& error) {
  const auto create = [&] { return open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode); };
  int fd = create();
  if (fd < 0 && errno == EEXIST) {
    if (unlink(temp.c_str()) != 0) {
      error = errno;
      return -1;
    }
    fd = create();
  }
  if (fd < 0) error = errno;
  return fd;
}

}  // namespace

ReplaceResult ReplaceWholeFile(const std::string& file, const std::string& temp, std::string_view bytes) {
  // The new file takes the old one's access bits, writable for its owner.
  mode_t mode = S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH;
  struct stat st;
  if (stat(file.c_str(), &st) == 0) mode = (st.st_mode & 07777) | S_IWUSR;

  int error = 0;
  const int fd = CreateTemporaryFile(temp, mode, error);
  if (fd < 0) return {ReplaceStep::TempFile, error};
  fchmod(fd, mode);
  bool written = WriteAll(fd, bytes) && fsync(fd) == 0;
  error = errno;
  if (close(fd) != 0 && written) {
    written = false;
    error = errno;
  }
  if (!written) {
    unlink(temp.c_str());
    return {ReplaceStep::TempFile, error};
  }
  // The rename replaces the old file in one step (a read-only one too): there is
  // never a moment without a whole file.
  if (rename(temp.c_str(), file.c_str()) != 0) {
    error = errno;
    unlink(temp.c_str());
    return {ReplaceStep::Rename, error};
  }
  // The rename itself lasts once the folder is on disk.
  size_t slash = file.rfind('/');
  std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : file.substr(0, slash));
  int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
  return {};
}

}  // namespace corv
