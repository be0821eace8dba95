// The four message levels (notice, report, detail, trace), the plain console
// sink and the time-stamped log. Each level shows on the console by its run
// setting and always reaches the log while one is open.
#pragma once
#include <cstdint>
#include <string>

#include "support/clock.h"
#include "support/console.h"
#include "support/files.h"
#include "support/settings.h"
#include "support/stream.h"

namespace corv {

class Output {
 public:
  Output(Console& console, Clock& clock, const RunSettings& settings);
  ~Output();
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  OutStream& Notice() { return notice_; }
  OutStream& Report() { return report_; }
  OutStream& Detail() { return detail_; }
  OutStream& Trace() { return trace_; }
  OutStream& Plain() { return plain_; }

  // Opens "<folder>/20YY-MM-DD HH-MM-SS.log" (exclusively; a clash takes the
  // next free name), prints "LogFile = " on the console and writes the program
  // path as the first line. False when the file cannot be made.
  // The folder is made first (one level) when it is missing.
  bool OpenLog(const std::string& folder, const std::string& programPath);
  // The same with the start time given (tests).
  bool OpenLogAt(const std::string& folder, const std::string& programPath, const DateTime& when);
  void CloseLog();
  bool LogOpen() const { return logFd_ >= 0; }
  const std::string& LogPath() const { return logPath_; }
  // Why the last OpenLog failed (the system's text).
  const std::string& LogError() const { return logError_; }

 private:
  enum class Show { Always, UnlessSilent, Debug, DetailedDebug, Never };
  class Level : public OutStream {
   public:
    Level(Output& out, Show show, bool logged) : out_(out), show_(show), logged_(logged) {}
    void Put(char c) override;

   private:
    Output& out_;
    Show show_;
    bool logged_;
  };
  void ConsolePut(char c);
  void LogPut(char c);
  void FlushLog();

  Console& console_;
  Clock& clock_;
  const RunSettings& settings_;
  Level notice_{*this, Show::Always, true};
  Level report_{*this, Show::UnlessSilent, true};
  Level detail_{*this, Show::Debug, true};
  Level trace_{*this, Show::DetailedDebug, true};
  Level plain_{*this, Show::Always, false};
  // The log is written through the descriptor at every line end, so that what
  // the abort handler appends with write(2) follows the last whole line.
  int logFd_ = -1;
  std::string logBuffer_;
  std::string logPath_;
  std::string logError_;
  uint32_t logOpenedAt_ = 0;
};

}  // namespace corv
