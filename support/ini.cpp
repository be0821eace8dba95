// Reading and rewriting the parameter file.
#include "support/ini.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "support/files.h"

namespace corv {

namespace {

[[noreturn]] void IniFatal(Context& ctx) {
  ctx.Plain() << "Fatal error\r\n";
  ExitRun(ctx, 1);
}

std::string_view KeyOf(std::string_view line) {
  size_t eq = line.find('=');
  return eq == std::string_view::npos ? line : line.substr(0, eq);
}

// Reads the whole file; false when it exists but cannot be read.
bool Slurp(const std::string& file, std::string& bytes) {
  int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[8192];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      close(fd);
      return false;
    }
    if (n == 0) break;
    bytes.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return true;
}

// One line as the reader sees it, with the raw bytes it came from: up to and
// including the CR and the line feeds right after it, or cut where the reader
// cuts a long line.
struct RawLine {
  std::string_view raw;
  std::string text;  // without line feeds and the ending CR
};

RawLine NextLine(std::string_view bytes, size_t& pos) {
  RawLine line;
  size_t start = pos;
  while (pos < bytes.size() && line.text.size() < kMaxLineLength) {
    char c = bytes[pos++];
    if (c == '\r') {
      while (pos < bytes.size() && bytes[pos] == '\n') ++pos;
      break;
    }
    if (c != '\n') line.text.push_back(c);
  }
  line.raw = bytes.substr(start, pos - start);
  return line;
}

// A reader's line that holds line feeds is several lines to the tool that wrote
// it: the replacement takes the place of the first of them only, so the others
// are not lost.
std::string_view AfterFirstLfLine(std::string_view raw) {
  size_t i = 0;
  while (i < raw.size() && raw[i] == '\n') ++i;
  size_t lf = raw.find('\n', i);
  if (lf == std::string_view::npos) return {};
  std::string_view rest = raw.substr(lf + 1);
  for (char c : rest) {
    if (c != '\n' && c != '\r') return rest;
  }
  return {};
}

}  // namespace

std::string ReadIniString(Context& ctx, const std::string& file, std::string_view key) {
  if (!FileExists(file)) return {};
  int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) IniFatal(ctx);
  FileSource in(fd);
  std::string line;
  std::string value;
  bool found = false;
  while (ReadLine(in, line)) {
    size_t eq = line.find('=');
    std::string_view k = eq == std::string::npos ? std::string_view(line) : std::string_view(line).substr(0, eq);
    if (k == key) {
      if (eq != std::string::npos) value = line.substr(eq + 1);
      found = true;
      break;
    }
  }
  bool failed = in.Failed();
  close(fd);
  if (failed && !found) IniFatal(ctx);
  return value;
}

int32_t ReadIniInt(Context& ctx, const std::string& file, std::string_view key) {
  return DecimalValue(ReadIniString(ctx, file, key));
}

bool ReadIniBool(Context& ctx, const std::string& file, std::string_view key) {
  std::string v = ReadIniString(ctx, file, key);
  return v == "1" || UpperCase(v) == "TRUE";
}

void WriteIniString(Context& ctx, const std::string& file, std::string_view key, std::string_view value) {
  std::string replacement = std::string(key) + "=" + std::string(value) + "\r\n";
  std::string old;
  bool exists = FileExists(file);
  if (exists && !Slurp(file, old)) IniFatal(ctx);

  std::string out;
  bool matched = false;
  size_t pos = 0;
  while (pos < old.size()) {
    RawLine line = NextLine(old, pos);
    if (KeyOf(line.text) == key) {
      out += replacement;
      out += AfterFirstLfLine(line.raw);
      matched = true;
    } else {
      out += line.raw;
    }
  }
  if (!matched) {
    // The added line must start a line of its own. Readers end lines at CR
    // only, so a last line ended by LF alone still runs on: end it first.
    const size_t last = out.find_last_not_of('\n');
    if (last != std::string::npos && out[last] != '\r') out += "\r\n";
    out += replacement;
  }

  // The new file takes the old one's access bits, writable for its owner.
  mode_t mode = S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH;
  struct stat st;
  if (exists && stat(file.c_str(), &st) == 0) mode = (st.st_mode & 07777) | S_IWUSR;

  std::string temp = file + ".000";
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) IniFatal(ctx);
  fchmod(fd, mode);
  bool written = WriteAll(fd, out) && fsync(fd) == 0;
  written = (close(fd) == 0) && written;
  if (!written) {
    unlink(temp.c_str());
    IniFatal(ctx);
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
