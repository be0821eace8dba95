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

// The texts' CR LF pairs give one line break: CR starts a new line, LF is dropped.
void Output::ConsolePut(char c) {
  if (c == '\n') return;
  if (c == '\r') c = '\n';
  console_.Write(std::string_view(&c, 1));
}

void Output::LogPut(char c) {
  if (logFd_ < 0 || c == '\n') return;
  logBuffer_.push_back(c);
  if (c != '\r') return;
  // The stamp opens the next line and tells when this one ended.
  TextStream stamp;
  stamp << '\n' << Dec{static_cast<int32_t>(clock_.TickMs() - logOpenedAt_), 6} << ": ";
  logBuffer_ += stamp.Text();
  FlushLog();
}

void Output::FlushLog() {
  if (logFd_ >= 0 && !logBuffer_.empty()) WriteAll(logFd_, logBuffer_);
  logBuffer_.clear();
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
  TheAbortRecord().logFd = fd;
  logBuffer_ = programPath + "\r\n";
  FlushLog();
  return true;
}

void Output::CloseLog() {
  if (logFd_ < 0) return;
  FlushLog();
  if (TheAbortRecord().logFd == logFd_) TheAbortRecord().logFd = -1;
  close(logFd_);
  logFd_ = -1;
}

}  // namespace corv
