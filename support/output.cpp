// Message levels, the console sink and the time-stamped log.
#include "support/output.h"

namespace corv {

Output::Output(Console& console, Clock& clock, const RunSettings& settings)
    : console_(console), clock_(clock), settings_(settings) {}

Output::~Output() { CloseLog(); }

void Output::Level::PutText(std::string_view text) {
  bool shown = false;
  switch (show_) {
    case Show::Always: shown = true; break;
    case Show::UnlessSilent: shown = !out_.settings_.silent; break;
    case Show::Debug: shown = out_.settings_.debugOn; break;
    case Show::DetailedDebug: shown = out_.settings_.detailedDebug; break;
    case Show::Never: shown = false; break;
  }
  for (char c : text) {
    if (shown) out_.ConsolePut(c);
    if (logged_) out_.LogPut(c);
  }
  out_.WritePending();
}

void Output::WritePending() {
  if (!consolePending_.empty()) {
    console_.Write(consolePending_);
    consolePending_.clear();
  }
  if (!logPending_.empty()) {
    // Noted as open before the bytes land: a signal in between adds a line
    // end too many rather than joining its line to the run's.
    log_.Note(LogLine::Open);
    log_.Write(logPending_);
    if (logPendingStamped_) log_.Note(LogLine::Stamped);
    logPending_.clear();
  }
}

namespace {
bool IsMark(char c) { return c == '.' || c == '!'; }
}  // namespace

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
  WritePending();
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
  consolePending_.push_back(c);
}

void Output::LogPut(char c) {
  if (!log_.IsOpen() || c == '\n') return;
  if (logLine_.Breaks(c)) LogPut('\r');
  logLine_.Note(c);
  logPendingStamped_ = c == '\r';
  if (c != '\r') {
    logPending_.push_back(c);
    return;
  }
  // The stamp opens the next line and tells when this one ended.
  char line[16] = {'\r', '\n'};
  const size_t n = 2 + FormatLogStamp(clock_.TickMs() - logOpenedAt_, line + 2);
  logPending_.append(line, n);
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
  int error = -1;
  for (int n = 1; n <= 1000 && error != 0; ++n) {
    TextStream name;
    name << base.Text();
    if (n > 1) name << '_' << Dec{n};
    name << ".log";
    path = name.Text();
    bool exists = false;
    error = log_.Create(path, exists);
    if (error != 0 && !exists) break;
  }
  if (error != 0) {
    logError_ = SystemErrorText(error);
    path = base.Text() + ".log";
  }
  plain_ << "LogFile = " << path << "\r\n";
  if (error != 0) return false;
  logPath_ = path;
  logOpenedAt_ = clock_.TickMs();
  logLine_ = Line{};
  log_.Write(programPath + "\r\n");
  return true;
}

void Output::CloseLog() { log_.Close(); }

}  // namespace corv
