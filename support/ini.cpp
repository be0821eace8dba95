// Reading and rewriting the parameter file.
#include "support/ini.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "support/files.h"

namespace corv {

namespace {

// Ends the run when the file cannot be read or rewritten, naming the file and
// the system's reason.
[[noreturn]] void IniFatal(Context& ctx, const std::string& file, int errorNumber) {
  ctx.Plain() << "Fatal error: " << file << ": " << SystemReason(errorNumber) << "\r\n";
  ExitRun(ctx, 1);
}

std::string_view KeyOf(std::string_view line) {
  size_t eq = line.find('=');
  return eq == std::string_view::npos ? line : line.substr(0, eq);
}

// The whole file when it exists ("" when it does not); a file that is there
// but cannot be read ends the run, and so does a name the system cannot even
// look up (a folder on its way closed to us): reading that as a missing file
// would turn a job into a plain run without a word.
std::string Contents(Context& ctx, const std::string& file, bool& exists) {
  std::string bytes;
  if (file.empty()) {  // no name, no file
    exists = false;
    return bytes;
  }
  struct stat st;
  exists = stat(file.c_str(), &st) == 0;
  if (!exists && errno != ENOENT && errno != ENOTDIR) IniFatal(ctx, file, errno);
  int error = 0;
  if (exists && !ReadWholeFile(file, bytes, error)) IniFatal(ctx, file, error);
  return bytes;
}

}  // namespace

std::string ReadIniString(Context& ctx, const std::string& file, std::string_view key) {
  bool exists = false;
  const std::string bytes = Contents(ctx, file, exists);
  size_t pos = 0;
  for (std::string_view line; NextLine(bytes, pos, line);) {
    if (KeyOf(line) != key) continue;
    size_t eq = line.find('=');
    return eq == std::string_view::npos ? std::string() : std::string(line.substr(eq + 1));
  }
  return {};
}

int32_t ReadIniInt(Context& ctx, const std::string& file, std::string_view key) {
  return DecimalValue(ReadIniString(ctx, file, key));
}

bool ReadIniBool(Context& ctx, const std::string& file, std::string_view key) {
  std::string v = ReadIniString(ctx, file, key);
  return v == "1" || UpperCase(v) == "TRUE";
}

void WriteIniString(Context& ctx, const std::string& file, std::string_view key, std::string_view value) {
  const std::string replacement = std::string(key) + "=" + std::string(value) + "\r\n";
  bool exists = false;
  const std::string old = Contents(ctx, file, exists);

  // Every line but the replaced ones goes over as it was, its own line end
  // included.
  std::string out;
  bool matched = false;
  size_t pos = 0;
  for (std::string_view line; pos < old.size();) {
    const size_t start = pos;
    NextLine(old, pos, line);
    if (KeyOf(line) == key) {
      out += replacement;
      matched = true;
    } else {
      out.append(old, start, pos - start);
    }
  }
  if (!matched) {
    // The added line starts a line of its own.
    if (!out.empty() && out.back() != '\r' && out.back() != '\n') out += "\r\n";
    out += replacement;
  }

  // The new file takes the old one's access bits, writable for its owner.
  mode_t mode = S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH;
  struct stat st;
  if (exists && stat(file.c_str(), &st) == 0) mode = (st.st_mode & 07777) | S_IWUSR;

  std::string temp = file + ".000";
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) IniFatal(ctx, file, errno);
  fchmod(fd, mode);
  bool written = WriteAll(fd, out) && fsync(fd) == 0;
  int error = errno;
  if (close(fd) != 0 && written) {
    written = false;
    error = errno;
  }
  if (!written) {
    unlink(temp.c_str());
    IniFatal(ctx, file, error);
  }
  // The rename replaces the old file in one step (a read-only one too): there is
  // never a moment without a whole parameter file.
  if (!RenameFile(temp, file)) {
    unlink(temp.c_str());
    ctx.Plain() << "INI File is locked: " << file << "\r\n";
    ExitRun(ctx, 1);
  }
  // The rename itself lasts once the folder is on disk.
  size_t slash = file.rfind('/');
  std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : file.substr(0, slash));
  int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
}

void WriteIniInt(Context& ctx, const std::string& file, std::string_view key, int32_t value) {
  WriteIniString(ctx, file, key, NumberText(value, 0));
}

void WriteIniBool(Context& ctx, const std::string& file, std::string_view key, bool value) {
  WriteIniString(ctx, file, key, value ? "true" : "false");
}

}  // namespace corv
