// The four message levels (notice, report, detail, trace), the plain console
// sink and the time-stamped log. Each level shows on the console by its run
// setting and always reaches the log while one is open. The console and the
// log each know whether their last line is open, so that a message never
// starts in the middle of one: text after a line of progress marks ('.' and
// '!'), or after a line said to be finished, starts a new line.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/log_file.h"
#include "platform/clock.h"
#include "platform/console.h"
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
  // Ends an open line, on the console and in the log each, so that what comes
  // next stands on a line of its own.
  void StartLine();
  // The open line is finished though it has no line end (a text left so on
  // purpose): whatever comes next, but a line end, starts a new line.
  void FinishLine();
  bool LogOpen() const { return log_.IsOpen(); }
  const std::string& LogPath() const { return logPath_; }
  // Why the last OpenLog failed (the system's text).
  const std::string& LogError() const { return logError_; }

 private:
  enum class Show { Always, UnlessSilent, Debug, DetailedDebug, Never };
  // Where a sink's current line stands.
  struct Line {
    bool open = false;   // text since the last line end
    bool marks = false;  // all of that text progress marks
    bool whole = false;  // finished without a line end
    // Whether `c` must go on a new line.
    bool Breaks(char c) const;
    void Note(char c);
  };
  class Level : public OutStream {
   public:
    Level(Output& out, Show show, bool logged) : out_(out), show_(show), logged_(logged) {}
    void Put(char c) override { PutText(std::string_view(&c, 1)); }
    // The piece goes to the console and the log in one write each.
    void PutText(std::string_view text) override;

   private:
    Output& out_;
    Show show_;
    bool logged_;
  };
  // Add one character to what the console and the log get next.
  void ConsolePut(char c);
  void LogPut(char c);
  // Writes what the last piece gave the console and the log.
  void WritePending();

  Console& console_;
  Clock& clock_;
  const RunSettings& settings_;
  Level notice_{*this, Show::Always, true};
  Level report_{*this, Show::UnlessSilent, true};
  Level detail_{*this, Show::Debug, true};
  Level trace_{*this, Show::DetailedDebug, true};
  Level plain_{*this, Show::Always, false};
  Line consoleLine_;
  Line logLine_;
  // The log is written through as it comes, as the console is, one write a
  // piece: what a signal appends follows what the run wrote, and the file
  // notes how the last line stands.
  LogFile log_;
  std::string consolePending_;
  std::string logPending_;
  bool logPendingStamped_ = false;  // the pending bytes end with a stamp
  std::string logPath_;
  std::string logError_;
  uint32_t logOpenedAt_ = 0;
};

}  // namespace corv
