// The whole start-up in process: banner, settings, log, connection and the way
// out when no unit answers.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "run/program.h"
#include "tests/common/scratch.h"
#include "tests/common/system_names.h"

namespace corv {
namespace {

namespace fs = std::filesystem;

using testing::ReadFile;
using testing::Sep;
using testing::TempDir;

// A run of the program in `dir`/bin.
struct FakeRun : testing::FakeRun {
  explicit FakeRun(const std::string& dir, std::string keys = {}) : testing::FakeRun(std::move(keys)) {
    ctx.programPath = dir + "/bin/CorvUpdater";
    fs::create_directories(dir + "/bin");
  }
};

int StartRun(FakeRun& r, std::vector<std::string> args, std::string port = "") {
  StartOptions opts;
  opts.installAbortHandler = false;
  opts.env = [port](const char* name) { return std::string(name) == "CORVANTAPORT" ? port : std::string(); };
  try {
    return RunCorvUpdater(r.ctx, args, opts);
  } catch (const RunExit& e) {
    return e.status;
  }
}

TEST(StartUp, NoUnitEndsThroughTheFatalPath) {
  TempDir box("corv-prog");
  FakeRun r(box.path, "\n");
  EXPECT_EQ(StartRun(r, {"-s"}, "com7"), 1);
  std::string log = r.ctx.out.LogPath();
  EXPECT_EQ(DirectoryPart(log), box.path + "/bin" + Sep() + "LogFiles");
  EXPECT_EQ(r.console.Output(),
            "Corvanta Updater 5.10v37\nUsing CORVANTAPORT from environment\nLogFile = " + log +
                "\nFatal Error: Unable to connect to Corvanta unit\nPress Enter key to continue\n");
  EXPECT_EQ(r.ctx.settings.portNumber, 7);
  EXPECT_TRUE(r.ctx.settings.traceEnabled);
  EXPECT_EQ(ReadFile(log),
            box.path + "/bin/CorvUpdater\r\nFatal Error: Unable to connect to Corvanta unit\r\n000000: ");
  EXPECT_GE(r.console.Restores(), 1);
}

TEST(StartUp, ParameterFileDrivesTheRun) {
  TempDir box("corv-prog");
  std::string ini = box.path + "/job.ini";
  std::ofstream(ini, std::ios::binary) << "CorvManufacture=TRUE\r\nSerialNo=12\r\n";
  FakeRun r(box.path);
  EXPECT_EQ(StartRun(r, {ini, "COM3"}), 2);
  EXPECT_TRUE(r.ctx.settings.manufacturingMode);
  EXPECT_EQ(r.console.Output().find("Press"), std::string::npos);  // manufacturing: no prompt
  EXPECT_EQ(ReadFile(ini),
            "CorvManufacture=TRUE\r\nSerialNo=12\r\nMessage=Unable to connect to Corvanta unit\r\n");

  // A log that cannot be made ends the run before any unit is looked for.
  FakeRun noLog(box.path);
  noLog.ctx.programPath = box.path + "/missing/bin/CorvUpdater";
  noLog.ctx.settings.yesToPrompts = true;
  EXPECT_EQ(StartRun(noLog, {"-y"}), 1);
  EXPECT_NE(noLog.console.Output().find("Fatal Error: Cannot create log file in " + box.path + "/missing/bin" + Sep() +
                                        "LogFiles: "),
            std::string::npos)
      << noLog.console.Output();
  EXPECT_EQ(noLog.console.Output().find("Unable to connect"), std::string::npos);
}

TEST(StartUp, LogFolderBesideTheProgram) {
#ifdef _WIN32
  EXPECT_EQ(LogFolder("F:\\EPROM\\Corvanta\\Current\\bin\\CorvUpdater.exe"),
            "F:\\EPROM\\Corvanta\\Current\\bin\\LogFiles");
#else
  EXPECT_EQ(LogFolder("/opt/corvanta/current/bin/CorvUpdater"), "/opt/corvanta/current/bin/LogFiles");
#endif
  EXPECT_EQ(LogFolder("CorvUpdater"), "LogFiles");
}

}  // namespace
}  // namespace corv
