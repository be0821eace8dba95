// Message levels, the console sink and the time-stamped log.
#include "support/output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "support/abort_record.h"

namespace corv {

Output::Output(Console& console, Clock& clock, const RunSettings& settings)
    : console_(console), clock_(clock), settings_(settings) {}

Output::~Output() { CloseLog(); }

void Output::Level::Put(char c) {
  bool shown = false;
  switch (show_) {
    case Show::Always: shown = true; break;
    case Show::UnlessSilent: shown = !out_.settings_.silent; break;
    case Show::Debug: shown = out_.settings_.debugOn; break;
    case Show::DetailedDebug: shown = out_.settings_.detailedDebug; break;
    case Show::Never: shown = false; break;
  }
  if (shown) out_.ConsolePut(c);
  if (logged_) out_.LogPut(c);
}

namespace {
bool IsMark(char c) { return c == '.' || c == '!'; }
}  // namespace

size_t FormatLogStamp(uint32_t ms, char* out) {
  char digits[10];
  size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + ms % 10);
    ms /= 10;
  } while (ms != 0);
  size_t len = 0;
  for (size_t i = n; i < 6; ++i) out[len++] = '0';
  while (n > 0) out[len++] = digits[--n];
  out[len++] = ':';
  out[len++] = ' ';
  return len;
}

bool Output::Line::Breaks(char c) const {
  if (!open || c == '\r' || c == '\n') return false;
  return whole || (marks && !IsMark(c));
}

void Output::Line::Note(char c) {
  if (c == '\r') {
    *this = Line{};
  } else if (c != '\n') {
    marks = (open ? marks : true) && IsMark(c);
    open = true;
  }
}

void Output::StartLine() {
  if (consoleLine_.open) ConsolePut('\r');
  if (logLine_.open) LogPut('\r');
}

void Output::FinishLine() {
  consoleLine_.whole = consoleLine_.open;
  logLine_.whole = logLine_.open;
}

// The texts' CR LF pairs give one line break: CR starts a new line, LF is dropped.
void Output::ConsolePut(char c) {
  if (consoleLine_.Breaks(c)) ConsolePut('\r');
  consoleLine_.Note(c);
  if (c == '\n') return;
  if (c == '\r') c = '\n';
  console_.Write(std::string_view(&c, 1));
}

void Output::LogPut(char c) {
  if (logFd_ < 0 || c == '\n') return;
  if (logLine_.Breaks(c)) LogPut('\r');
  logLine_.Note(c);
  AbortRecord& rec = TheAbortRecord();
  if (c != '\r') {
    // Marked open before the byte lands: a signal in between adds a line end
    // too many rather than joining its line to this one.
    rec.logLine = kLogLineOpen;
    WriteAll(logFd_, std::string_view(&c, 1));
    return;
  }
  // The stamp opens the next line and tells when this one ended.
  char line[16] = {'\r', '\n'};
  const size_t n = 2 + FormatLogStamp(clock_.TickMs() - logOpenedAt_, line + 2);
  WriteAll(logFd_, std::string_view(line, n));
  rec.logLine = kLogLineStamped;
}

bool Output::OpenLog(const std::string& folder, const std::string& programPath) {
  return OpenLogAt(folder, programPath, CurrentDateTime());
}

bool Output::OpenLogAt(const std::string& folder, const std::string& programPath, const DateTime& when) {
  CloseLog();
  MakeDirectory(folder);  // an existing folder is fine; a missing one fails below
  TextStream base;
  base << WithTrailingSeparator(folder) << "20" << Dec{when.year, 2} << '-' << Dec{when.month, 2} << '-'
       << Dec{when.day, 2} << ' ' << Dec{when.hour, 2} << '-' << Dec{when.minute, 2} << '-'
       << Dec{when.second, 2};
  // Two runs started in the same second (two ports on one PC) must not share or
  // replace each other's log: the name is taken exclusively, the next free one
  // on a clash.
  std::string path;
  int fd = -1;
  for (int n = 1; n <= 1000 && fd < 0; ++n) {
    TextStream name;
    name << base.Text();
    if (n > 1) name << '_' << Dec{n};
    name << ".log";
    path = name.Text();
    fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    logError_ = SystemErrorText(errno);
    path = base.Text() + ".log";
  }
  plain_ << "LogFile = " << path << "\r\n";
  if (fd < 0) return false;
  logFd_ = fd;
  logPath_ = path;
  logOpenedAt_ = clock_.TickMs();
  logLine_ = Line{};
  WriteAll(fd, programPath + "\r\n");
  AbortRecord& rec = TheAbortRecord();
  rec.logOpenedMs = static_cast<std::sig_atomic_t>(AbortTickMs());
  rec.logLine = kLogLineBare;
  rec.logFd = fd;
  return true;
}

void Output::CloseLog() {
  if (logFd_ < 0) return;
  if (TheAbortRecord().logFd == logFd_) TheAbortRecord().logFd = -1;
  close(logFd_);
  logFd_ = -1;
}

}  // namespace corv
