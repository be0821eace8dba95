// Message-level routing and the log's line stamps.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/context.h"
#include "tests/common/scratch.h"

namespace corv {
namespace {

using testing::FakeRun;
using testing::ReadFile;
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
    FakeRun r;
    WriteAllLevels(r.ctx);
    EXPECT_EQ(r.console.Output(), "notice\nreport\nplain\n");
  }
  {
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
    FakeRun r;
    r.ctx.settings.debugOn = true;
    WriteAllLevels(r.ctx);
    EXPECT_EQ(r.console.Output(), "notice\nreport\ndetail\nplain\n");
  }
  {
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

}  // namespace
}  // namespace corv
