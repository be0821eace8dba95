// The Windows build (CORV_UPDATER_EXE, run under Wine) says on its console what
// the Linux build says, byte for byte, but for the line that names the log
// file; and it logs the same lines. Both update identical default units and
// then run once more on the now current unit. Skipped without a Windows build.
// Real time.
#include <regex>

#include "update_e2e_rig.h"

namespace corv::e2e {
namespace {

// The console output without its "LogFile = ..." line.
std::string WithoutLogFileLine(const std::string& out) {
  static const std::regex kLine("LogFile = [^\n]*\n");
  return std::regex_replace(out, kLine, "");
}

// The log's lines without their stamps and without the first line (the
// program's own path).
std::string LogLines(const std::string& log) {
  static const std::regex kStamp("\r\n\\d{6}: ");
  const std::string lines = std::regex_replace(log, kStamp, "\r\n");
  const size_t first = lines.find("\r\n");
  return first == std::string::npos ? "" : lines.substr(first + 2);
}

TEST(WindowsConsoleE2E, SameConsoleAndLogAsTheLinuxBuild) {
  if (testing::UpdaterExe().empty()) GTEST_SKIP() << "CORV_UPDATER_EXE names no Windows build";
  Sandbox onLinux("", testing::Build::Native);
  Sandbox onWindows("");
  for (const char* run : {"update", "already current"}) {
    SCOPED_TRACE(run);
    const RunResult l = onLinux.Run({"-y"});
    const RunResult w = onWindows.Run({"-y"});
    EXPECT_EQ(w.status, l.status);
    EXPECT_TRUE(l.Has("\nLogFile = " + onLinux.Dir() + "/LogFiles/")) << l.out;
    EXPECT_TRUE(w.Has("\nLogFile = " + testing::WindowsPath(onWindows.Dir()) + "\\LogFiles\\")) << w.out;
    EXPECT_EQ(WithoutLogFileLine(w.out), WithoutLogFileLine(l.out));
    EXPECT_EQ(LogLines(onWindows.Log()), LogLines(onLinux.Log()));
    EXPECT_EQ(onWindows.State()["checksum"], onLinux.State()["checksum"]);
  }
  EXPECT_EQ(onWindows.State()["version"], "510");
}

}  // namespace
}  // namespace corv::e2e
