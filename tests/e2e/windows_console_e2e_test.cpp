// The Windows build (CORV_UPDATER_EXE, run under Wine) says on its console what
// the Linux build says, byte for byte, but for the line that names the log
// file; and it logs the same lines but for the measured transfer times. Both update identical default units and
// then run once more on the now current unit. Skipped without a Windows build.
// Real time.
#include <regex>

#include "update_e2e_rig.h"

namespace corv::e2e {
namespace {

// `text` with every `from` replaced by `to`.
std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// The console output without its "LogFile = ..." line, the sandbox's folder
// (a name of its own for each build) written as "<sandbox>".
std::string Console(const RunResult& r, const Sandbox& box) {
  static const std::regex kLine("LogFile = [^\n]*\n");
  return Replaced(std::regex_replace(r.out, kLine, ""), box.Dir(), "<sandbox>");
}

// The log's lines without their stamps, without the first line (the program's
// own path) and without the measured times of the transfers.
std::string LogLines(const Sandbox& box) {
  static const std::regex kStamp("\r\n\\d{6}: ");
  static const std::regex kTimes("Time = \\d+ mS : Data rate = \\d+ baud");
  std::string lines = std::regex_replace(box.Log(), kStamp, "\r\n");
  lines = std::regex_replace(lines, kTimes, "Time = (t) : Data rate = (r)");
  const size_t first = lines.find("\r\n");
  return first == std::string::npos ? "" : Replaced(lines.substr(first + 2), box.Dir(), "<sandbox>");
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
    EXPECT_EQ(Console(w, onWindows), Console(l, onLinux));
    EXPECT_EQ(LogLines(onWindows), LogLines(onLinux));
    EXPECT_EQ(onWindows.State()["checksum"], onLinux.State()["checksum"]);
  }
  EXPECT_EQ(onWindows.State()["version"], "510");
}

}  // namespace
}  // namespace corv::e2e
