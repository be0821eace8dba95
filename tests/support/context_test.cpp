// The ways out of a run: statuses, the Message key, the closing key prompt, and
// that each releases the port, the log and the terminal.
#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#endif

#include "platform/system_error.h"
#include "support/context.h"
#include "support/ini.h"
#include "tests/common/scratch.h"

namespace corv {
namespace {

using FakeRun = testing::ReleasingRun;
using testing::ReadFile;
using testing::StatusOf;
using testing::TempDir;

TEST(FatalPath, StatusMessageKeyAndPrompt) {
  TempDir dir("corv-ctx");
  {
    SCOPED_TRACE("a fatal error with a log, Enter at the prompt");
    FakeRun r("\n");
    ASSERT_TRUE(r.ctx.out.OpenLogAt(dir.path, "p", DateTime{}));
    EXPECT_EQ(StatusOf([&] { Fatal(r.ctx, "Unable to connect to Corvanta unit"); }), 1);
    EXPECT_EQ(r.console.Output(), "LogFile = " + r.ctx.out.LogPath() +
                                      "\nFatal Error: Unable to connect to Corvanta unit\n"
                                      "Press Enter key to continue\n");
    EXPECT_EQ(r.releases, 1);
    EXPECT_FALSE(r.ctx.out.LogOpen());
    EXPECT_GE(r.console.Restores(), 1);
    EXPECT_NE(ReadFile(r.ctx.out.LogPath()).find("Fatal Error: Unable to connect to Corvanta unit\r\n"),
              std::string::npos);
  }
  {
    SCOPED_TRACE("a fatal error with -y and a parameter file");
    FakeRun r;
    r.ctx.settings.yesToPrompts = true;
    r.ctx.settings.parameterFile = dir.path + "/job.ini";
    std::ofstream(r.ctx.settings.parameterFile, std::ios::binary) << "SerialNo=5\r\nMessage=old\r\n";
    EXPECT_EQ(StatusOf([&] { Fatal(r.ctx, "Incorrect arguments"); }), 2);
    EXPECT_EQ(r.console.Output(), "Fatal Error: Incorrect arguments\n");  // no prompt with -y
    EXPECT_EQ(ReadFile(r.ctx.settings.parameterFile), "SerialNo=5\r\nMessage=Incorrect arguments\r\n");
    EXPECT_EQ(ReadIniString(r.ctx, r.ctx.settings.parameterFile, "Message"), "Incorrect arguments");
  }
  {
    // Manufacturing runs never wait either; a parameter file not yet there is made.
    SCOPED_TRACE("Manufacturing runs never wait either");
    FakeRun r;
    r.ctx.settings.manufacturingMode = true;
    r.ctx.settings.parameterFile = dir.path + "/new.ini";
    EXPECT_EQ(StatusOf([&] { Fatal(r.ctx, "Aborted"); }), 2);
    EXPECT_EQ(ReadFile(r.ctx.settings.parameterFile), "Message=Aborted\r\n");
    EXPECT_EQ(r.console.Output().find("Press"), std::string::npos);
  }
  {
    SCOPED_TRACE("A closed input ends the prompt instead of waiting for ever");
    FakeRun r("");
    EXPECT_EQ(StatusOf([&] { Fatal(r.ctx, "x"); }), 1);
    EXPECT_NE(r.console.Output().find("Press Enter key to continue\n"), std::string::npos);
  }
}

TEST(FatalPath, OtherWaysOutRelease) {
  {
    SCOPED_TRACE("ExitRun");
    FakeRun r;
    EXPECT_EQ(StatusOf([&] { ExitRun(r.ctx, 1); }), 1);
    EXPECT_EQ(r.releases, 1);
    EXPECT_EQ(r.console.Restores(), 1);
    EXPECT_EQ(r.console.Output(), "");
  }
  {
    SCOPED_TRACE("a failed assertion, -y set");
    FakeRun r("k");
    r.ctx.settings.yesToPrompts = true;  // the assertion waits all the same
    EXPECT_EQ(StatusOf([&] { AssertFailed(r.ctx, kSupportSourceName, 42); }), 1);
    EXPECT_EQ(r.console.Output(), "\nAssert Failed:..\\QuibSub\\QuibSub:42\n");
    EXPECT_EQ(r.releases, 1);
  }
  {
    SCOPED_TRACE("a Message key that cannot be written");
    TempDir dir("corv-ctx");
    FakeRun r;
    r.ctx.settings.parameterFile = dir / "no-such-folder/job.ini";
    r.ctx.settings.yesToPrompts = true;
    // The Message key cannot be written: the run still ends, with the file layer's text.
    EXPECT_EQ(StatusOf([&] { Fatal(r.ctx, "m"); }), 1);
#ifdef _WIN32
    const std::string reason = SystemReason(ERROR_PATH_NOT_FOUND);
#else
    const std::string reason = "No such file or directory";
#endif
    EXPECT_NE(r.console.Output().find("Fatal error: " + r.ctx.settings.parameterFile + ": " + reason + "\n"),
              std::string::npos)
        << r.console.Output();
    EXPECT_GE(r.releases, 1);
  }
}

TEST(ConsoleServices, PromptAndEscape) {
  FakeRun r("xy");
  ClosingKeyPrompt(r.ctx);
  EXPECT_EQ(r.console.Output(), "Press Enter key to continue\n");
  EXPECT_EQ(r.console.ReadKey(), 'y');  // the prompt took exactly one key

  EXPECT_FALSE(EscapePressed(r.ctx));
  r.console.Press('a');
  r.console.Press(27);
  EXPECT_FALSE(EscapePressed(r.ctx));  // another key is consumed
  EXPECT_TRUE(EscapePressed(r.ctx));
  EXPECT_FALSE(EscapePressed(r.ctx));
}

}  // namespace
}  // namespace corv
