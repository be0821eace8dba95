// Message-level routing and the log's line stamps.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <vector>

#include "platform/posix/held_record.h"
#include "support/context.h"
#include "tests/common/scratch.h"

namespace corv {
namespace {

using testing::FakeRun;
using testing::ReadFile;
using testing::StatusOf;
using testing::TempDir;

void WriteAllLevels(Context& ctx) {
  ctx.Notice() << "notice\r\n";
  ctx.Report() << "report\r\n";
  ctx.Detail() << "detail\r\n";
  ctx.Trace() << "trace\r\n";
  ctx.Plain() << "plain\r\n";
}

TEST(OutputRouting, ConsoleFollowsSettingsLogTakesAll) {
  TempDir dir("corv-out");
  const DateTime when{21, 12, 6, 17, 51, 3};
  {
    SCOPED_TRACE("default settings");
    FakeRun r;
    WriteAllLevels(r.ctx);
    EXPECT_EQ(r.console.Output(), "notice\nreport\nplain\n");
  }
  {
    SCOPED_TRACE("-s with a log");
    FakeRun r;
    r.ctx.settings.silent = true;
    ASSERT_TRUE(r.ctx.out.OpenLogAt(dir.path, "/opt/x/CorvUpdater", when));
    WriteAllLevels(r.ctx);
    r.ctx.out.CloseLog();
    EXPECT_EQ(r.console.Output(), "LogFile = " + r.ctx.out.LogPath() + "\nnotice\nplain\n");
    std::string log = ReadFile(r.ctx.out.LogPath());
    EXPECT_NE(log.find("report\r\n"), std::string::npos);
    EXPECT_NE(log.find("trace\r\n"), std::string::npos);
    EXPECT_EQ(log.find("plain"), std::string::npos);
  }
  {
    SCOPED_TRACE("-d");
    FakeRun r;
    r.ctx.settings.debugOn = true;
    WriteAllLevels(r.ctx);
    EXPECT_EQ(r.console.Output(), "notice\nreport\ndetail\nplain\n");
  }
  {
    SCOPED_TRACE("-dd");
    FakeRun r;
    r.ctx.settings.debugOn = r.ctx.settings.detailedDebug = true;
    WriteAllLevels(r.ctx);
    EXPECT_EQ(r.console.Output(), "notice\nreport\ndetail\ntrace\nplain\n");
  }
}

TEST(OutputLog, NameAndStamps) {
  TempDir dir("corv-out");
  FakeRun r;
  r.clock.SleepMs(5000);  // the stamps count from the opening, not from zero
  const DateTime when{21, 12, 6, 17, 51, 3};
  ASSERT_TRUE(r.ctx.out.OpenLogAt(dir.path + "/LogFiles", "/opt/x/CorvUpdater", when));
  EXPECT_EQ(r.ctx.out.LogPath(), dir.path + "/LogFiles/2021-12-06 17-51-03.log");
  r.clock.SleepMs(12);
  r.ctx.Notice() << "first\r\n";
  r.clock.SleepMs(4500);
  r.ctx.Notice() << "Continue (y/n)? ";  // a prompt leaves the line open
  r.clock.SleepMs(700);
  r.ctx.Notice() << "y\r\n";
  r.clock.SleepMs(1);
  r.ctx.Report() << "last";
  r.ctx.out.CloseLog();
  r.ctx.Notice() << "after close\r\n";
  EXPECT_EQ(ReadFile(r.ctx.out.LogPath()),
            "/opt/x/CorvUpdater\r\n"
            "first\r\n"
            "000012: Continue (y/n)? y\r\n"
            "005212: last");
}

TEST(OutputLog, SameSecondTakesNextFreeName) {
  TempDir dir("corv-out");
  const DateTime when{22, 1, 2, 3, 4, 5};
  FakeRun a, b;
  ASSERT_TRUE(a.ctx.out.OpenLogAt(dir.path, "a", when));
  ASSERT_TRUE(b.ctx.out.OpenLogAt(dir.path, "b", when));
  EXPECT_NE(a.ctx.out.LogPath(), b.ctx.out.LogPath());
  EXPECT_EQ(b.ctx.out.LogPath(), dir.path + "/2022-01-02 03-04-05_2.log");
  a.ctx.Notice() << "from a\r\n";
  b.ctx.Notice() << "from b\r\n";
  a.ctx.out.CloseLog();
  b.ctx.out.CloseLog();
  EXPECT_EQ(ReadFile(a.ctx.out.LogPath()).substr(0, 3), "a\r\n");
  EXPECT_EQ(ReadFile(b.ctx.out.LogPath()).substr(0, 3), "b\r\n");

  FakeRun c;
  EXPECT_FALSE(c.ctx.out.OpenLogAt(dir.path + "/missing/deeper", "c", when));
  EXPECT_FALSE(c.ctx.out.LogOpen());
  EXPECT_FALSE(c.ctx.out.LogError().empty());
}

// What follows a line left open: a message of its own starts a new line, on the
// console and in the log each by what that one shows; progress marks and the
// texts continued on purpose stay on their line.
TEST(OutputLines, MessageNeverStartsMidLine) {
  struct Case {
    const char* name;
    std::function<void(Context&)> write;
    std::string console;
    std::string log;  // after the program's path; the clock stands still at 0
  };
  const std::vector<Case> cases = {
      {"marks then fatal error",
       [](Context& c) {
         for (int i = 0; i < 4; ++i) c.Notice() << ".";
         StatusOf([&] { Fatal(c, "Aborted"); });
       },
       "....\nFatal Error: Aborted\n", "....\r\n000000: Fatal Error: Aborted\r\n000000: "},
      {"busy port said without line end",
       [](Context& c) {
         c.Notice() << "COM1 is being used by another application";
         c.out.FinishLine();
         c.Notice() << "Using saved comm port number: COM1\r\n";
       },
       "COM1 is being used by another application\nUsing saved comm port number: COM1\n",
       "COM1 is being used by another application\r\n000000: Using saved comm port number: COM1\r\n000000: "},
      {"open error said without line end",
       [](Context& c) {
         c.Notice() << "COM3 ERROR: Error: Inappropriate ioctl for device";
         c.out.FinishLine();
         c.Notice() << "Probing COM1\r\n";
       },
       "COM3 ERROR: Error: Inappropriate ioctl for device\nProbing COM1\n",
       "COM3 ERROR: Error: Inappropriate ioctl for device\r\n000000: Probing COM1\r\n000000: "},
      {"address search marks then the next port",
       [](Context& c) { c.Notice() << "." << "." << "Probing COM1\r\n"; }, "..\nProbing COM1\n",
       "..\r\n000000: Probing COM1\r\n000000: "},
      {"a line said finished ends only once",
       [](Context& c) {
         c.Notice() << "COM1 is being used by another application";
         c.out.FinishLine();
         c.Notice() << "\r\n";
       },
       "COM1 is being used by another application\n", "COM1 is being used by another application\r\n000000: "},
      {"log and console apart",
       [](Context& c) {
         c.Notice() << ".";
         c.Detail() << "Unit ID=01\r\n";  // log only without -d
         c.Notice() << ".";
         c.Detail() << "!";
         c.Notice() << "\r\n";
       },
       "..\n", ".\r\n000000: Unit ID=01\r\n000000: .!\r\n000000: "},
      {"marks and texts continued on purpose",
       [](Context& c) {
         c.Notice() << "Searching for unit ID...\r\n";
         c.Notice() << "." << "." << "\r\n-- Found Unit ID = 01\r\n";
         c.Notice() << "Continue (y/n)? ";
         c.Notice() << "y\r\n";
         c.Report() << "Version 5.10\r\n";
       },
       "Searching for unit ID...\n..\n-- Found Unit ID = 01\nContinue (y/n)? y\nVersion 5.10\n",
       "Searching for unit ID...\r\n000000: ..\r\n000000: -- Found Unit ID = 01\r\n000000: "
       "Continue (y/n)? y\r\n000000: Version 5.10\r\n000000: "},
      {"fatal error after a prompt",
       [](Context& c) {
         c.Notice() << "Continue (y/n)? ";
         StatusOf([&] { Fatal(c, "Aborted"); });
       },
       "Continue (y/n)? \nFatal Error: Aborted\n", "Continue (y/n)? \r\n000000: Fatal Error: Aborted\r\n000000: "},
      {"plain console text after marks",
       [](Context& c) {
         c.Notice() << "..";
         c.Plain() << "Please enter COM port number (1,2,3...): ";
       },
       "..\nPlease enter COM port number (1,2,3...): ", ".."},
  };
  for (const Case& k : cases) {
    TempDir dir("corv-out");
    FakeRun r;
    r.ctx.settings.yesToPrompts = true;
    ASSERT_TRUE(r.ctx.out.OpenLogAt(dir.path, "p", DateTime{}));
    r.console.ClearOutput();
    const std::string path = r.ctx.out.LogPath();
    k.write(r.ctx);
    r.ctx.out.CloseLog();
    EXPECT_EQ(r.console.Output(), k.console) << k.name;
    EXPECT_EQ(ReadFile(path), "p\r\n" + k.log) << k.name;
  }
}

// The log is written as it comes: an open line is in the file before its end,
// and the held record follows how the file's last line stands.
TEST(OutputLines, LogWrittenThroughAndMirrored) {
  TempDir dir("corv-out");
  FakeRun r;
  ASSERT_TRUE(r.ctx.out.OpenLogAt(dir.path, "p", DateTime{}));
  const auto line = [] {
    const held::posix::Entry* log = held::posix::FindHeld(held::Kind::Log);
    return log ? static_cast<LogLine>(log->line) : LogLine::Stamped;
  };
  EXPECT_EQ(line(), LogLine::Bare);
  r.clock.SleepMs(1234567);
  r.ctx.Notice() << "Searching for unit ID...\r\n";
  EXPECT_EQ(line(), LogLine::Stamped);
  r.ctx.Notice() << "..";
  EXPECT_EQ(line(), LogLine::Open);
  EXPECT_EQ(ReadFile(r.ctx.out.LogPath()), "p\r\nSearching for unit ID...\r\n1234567: ..");
  r.ctx.out.CloseLog();
  EXPECT_EQ(held::posix::FindHeld(held::Kind::Log), nullptr);

  char stamp[16];
  EXPECT_EQ(std::string(stamp, FormatLogStamp(0, stamp)), "000000: ");
  EXPECT_EQ(std::string(stamp, FormatLogStamp(4512, stamp)), "004512: ");
  EXPECT_EQ(std::string(stamp, FormatLogStamp(4294967295u, stamp)), "4294967295: ");
}

// A piece (a text, a number, a line end, a mark) is one console write and is in the log at once.
TEST(OutputLines, EachPieceWrittenAtOnceInOneWrite) {
  TempDir dir("corv-out");
  FakeRun r;
  ASSERT_TRUE(r.ctx.out.OpenLogAt(dir.path, "p", DateTime{}));
  for (const std::string piece : {"Writing to flash", "4512", "\r\n", "."}) {
    r.console.ClearOutput();
    piece == "4512" ? r.ctx.Notice() << Dec{4512} : r.ctx.Notice() << piece;
    EXPECT_EQ(r.console.Writes(), 1) << piece;
    EXPECT_TRUE(ReadFile(r.ctx.out.LogPath()).ends_with(piece == "\r\n" ? ": " : piece)) << piece;
  }
}

}  // namespace
}  // namespace corv
