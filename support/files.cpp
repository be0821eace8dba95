// The file layer on POSIX: paths, file operations, environment, whole files and
// their lines, local time and child processes.
#include "support/files.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

extern char** environ;

namespace corv {

bool IsPathSeparator(char c) { return c == '/' || c == ':' || c == '\\'; }

std::string DirectoryPart(std::string_view path) {
  for (size_t i = path.size(); i > 0; --i) {
    if (IsPathSeparator(path[i - 1])) return std::string(path.substr(0, i - 1));
  }
  return {};
}

std::string WithTrailingSeparator(std::string_view path) {
  if (!path.empty() && IsPathSeparator(path.back())) return std::string(path);
  return std::string(path) + "/";
}

std::string SystemReason(int errorNumber) {
  char buf[256];
  // The GNU strerror_r may return a static text instead of filling buf.
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
  const char* text = strerror_r(errorNumber, buf, sizeof buf);
#else
  const char* text = strerror_r(errorNumber, buf, sizeof buf) == 0 ? buf : "Unknown error";
#endif
  std::string t(text);
  if (t.size() > 255) t.resize(255);
  return t;
}

std::string SystemErrorText(int errorNumber) { return "Error: " + SystemReason(errorNumber); }

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

bool DeleteFile(const std::string& name, std::string* error) {
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

int CreateFile(const std::string& name, std::string* error) {
  int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, S_IRUSR | S_IWUSR);
  if (fd < 0) Fail(error);
  return fd;
}

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

std::string EnvironmentValue(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
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

bool NextLine(std::string_view bytes, size_t& pos, std::string_view& line) {
  if (pos >= bytes.size()) return false;
  const size_t start = pos;
  const size_t limit = start + std::min(kMaxLineLength, bytes.size() - start);
  while (pos < limit && bytes[pos] != '\r' && bytes[pos] != '\n') ++pos;
  line = bytes.substr(start, pos - start);
  // A cut line keeps whatever follows for the next one, a line end too.
  if (pos < bytes.size() && line.size() < kMaxLineLength) {
    if (bytes[pos++] == '\r' && pos < bytes.size() && bytes[pos] == '\n') ++pos;
  }
  return true;
}

DateTime CurrentDateTime() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  DateTime d;
  d.year = static_cast<uint8_t>(tm.tm_year - 100);
  d.month = static_cast<uint8_t>(tm.tm_mon + 1);
  d.day = static_cast<uint8_t>(tm.tm_mday);
  d.hour = static_cast<uint8_t>(tm.tm_hour);
  d.minute = static_cast<uint8_t>(tm.tm_min);
  d.second = static_cast<uint8_t>(tm.tm_sec);
  return d;
}

bool AllDigits(std::string_view text) {
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::string UpperCase(std::string_view text) {
  std::string t(text);
  for (char& c : t) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return t;
}

int Find(std::string_view text, std::string_view pattern, bool ignoreCase) {
  if (ignoreCase) {
    std::string t = UpperCase(text), p = UpperCase(pattern);
    size_t at = t.find(p);
    return at == std::string::npos ? -1 : static_cast<int>(at);
  }
  size_t at = text.find(pattern);
  return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

std::string NumberText(int32_t value, int digits) {
  TextStream t;
  t << Dec{value, digits};
  return t.Text();
}

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> args;
  size_t i = 0;
  while (i < line.size() && args.size() < kMaxArguments) {
    while (i < line.size() && line[i] == ' ') ++i;
    if (i >= line.size()) break;
    size_t start = i;
    if (line[i] == '"') {
      size_t close = line.find('"', i + 1);
      i = close == std::string_view::npos ? line.size() : close + 1;
    } else {
      while (i < line.size() && line[i] != ' ') ++i;
    }
    args.emplace_back(line.substr(start, i - start));
  }
  return args;
}

namespace {
std::string WithoutQuotes(const std::string& arg) {
  size_t b = 0, e = arg.size();
  if (e > 0 && arg[0] == '"') ++b;
  if (e > b && arg[e - 1] == '"') --e;
  return arg.substr(b, e - b);
}
}  // namespace

int RunProgram(std::string_view commandLine) {
  std::vector<std::string> args = SplitCommandLine(commandLine);
  if (args.empty()) return -1;
  // No shell or runtime stands between us and the child here to take quotes
  // away, so each argument reaches it as the child would have parsed it.
  for (auto& a : args) a = WithoutQuotes(a);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace corv
