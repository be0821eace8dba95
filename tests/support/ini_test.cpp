// The parameter file: reading keys, rewriting them without losing anything, and
// the failures that end the run.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "support/ini.h"
#include "tests/common/scratch.h"

namespace corv {
namespace {

using testing::FakeRun;
using testing::ReadFile;
using testing::StatusOf;
using testing::TempDir;
using testing::WriteFile;

TEST(IniRead, KeysValuesAndForms) {
  TempDir dir;
  FakeRun r;
  std::string f = dir / "job.ini";
  EXPECT_EQ(ReadIniString(r.ctx, f, "SerialNo"), "");  // no file
  EXPECT_EQ(ReadIniInt(r.ctx, f, "SerialNo"), 0);
  EXPECT_FALSE(ReadIniBool(r.ctx, f, "Program"));
  EXPECT_EQ(ReadIniString(r.ctx, "", "SerialNo"), "");  // no name

  WriteFile(f,
            "SerialNo=123\r\nSerialNo=456\r\nserialno=9\r\nKey = 5\r\nA=B=C\r\nBare\r\n"
            "N=  -42x\r\nB1=1\r\nB2=true\r\nB3=TRUE\r\nB4=True\r\nF1=yes\r\nF2=0\r\nF3=\r\nLast=end");
  EXPECT_EQ(ReadIniString(r.ctx, f, "SerialNo"), "123");
  EXPECT_EQ(ReadIniInt(r.ctx, f, "SerialNo"), 123);
  EXPECT_EQ(ReadIniString(r.ctx, f, "serialno"), "9");
  EXPECT_EQ(ReadIniString(r.ctx, f, "Key"), "");
  EXPECT_EQ(ReadIniString(r.ctx, f, "Key "), " 5");
  EXPECT_EQ(ReadIniString(r.ctx, f, "A"), "B=C");
  EXPECT_EQ(ReadIniString(r.ctx, f, "Bare"), "");
  EXPECT_EQ(ReadIniInt(r.ctx, f, "N"), -42);
  EXPECT_EQ(ReadIniString(r.ctx, f, "Last"), "end");
  for (const char* k : {"B1", "B2", "B3", "B4"}) EXPECT_TRUE(ReadIniBool(r.ctx, f, k)) << k;
  for (const char* k : {"F1", "F2", "F3", "Missing"}) EXPECT_FALSE(ReadIniBool(r.ctx, f, k)) << k;

  // LF-only line ends: one line, so only the first key is seen, its value
  // running to the end without the LFs.
  WriteFile(f, "Program=1\nSerialNo=5\n");
  EXPECT_EQ(ReadIniString(r.ctx, f, "Program"), "1SerialNo=5");
  EXPECT_EQ(ReadIniString(r.ctx, f, "SerialNo"), "");
}

TEST(IniWrite, ReplacesKeepsAndAppends) {
  TempDir dir;
  FakeRun r;
  std::string f = dir / "job.ini";
  WriteIniString(r.ctx, f, "Message", "first");  // a missing file is made
  EXPECT_EQ(ReadFile(f), "Message=first\r\n");

  WriteFile(f, "SerialNo=123\r\nBare\r\n\r\nSerialNo=456\r\nKey = 5\r\nOdd\rLFonly=1\nTail=x");
  WriteIniString(r.ctx, f, "SerialNo", "789");
  EXPECT_EQ(ReadFile(f), "SerialNo=789\r\nBare\r\n\r\nSerialNo=789\r\nKey = 5\r\nOdd\rLFonly=1\nTail=x");
  WriteIniBool(r.ctx, f, "Program", true);
  EXPECT_EQ(ReadFile(f),
            "SerialNo=789\r\nBare\r\n\r\nSerialNo=789\r\nKey = 5\r\nOdd\rLFonly=1\nTail=x\r\nProgram=true\r\n");
  EXPECT_TRUE(ReadIniBool(r.ctx, f, "Program"));
  WriteIniInt(r.ctx, f, "SerialNo", -3);
  EXPECT_EQ(ReadIniInt(r.ctx, f, "SerialNo"), -3);
  EXPECT_FALSE(std::filesystem::exists(f + ".000"));

  // A file of another tool with LF-only lines keeps its lines; the replaced key
  // takes the place of its own line only.
  WriteFile(f, "Message=old\nSerialNo=5\nProgram=1\n");
  WriteIniString(r.ctx, f, "Message", "Incorrect arguments");
  EXPECT_EQ(ReadFile(f), "Message=Incorrect arguments\r\nSerialNo=5\nProgram=1\n");
  EXPECT_EQ(ReadIniString(r.ctx, f, "Message"), "Incorrect arguments");
  WriteFile(f, "A=1\nB=2\n");
  WriteIniString(r.ctx, f, "Message", "m");
  EXPECT_EQ(ReadFile(f), "A=1\nB=2\n\r\nMessage=m\r\n");  // readers end lines at CR only
  EXPECT_EQ(ReadIniString(r.ctx, f, "Message"), "m");
  EXPECT_EQ(r.console.Output(), "");
}

TEST(IniWrite, ReadOnlyFileAndFailures) {
  TempDir dir;
  FakeRun r;
  std::string f = dir / "job.ini";
  WriteFile(f, "SerialNo=1\r\n");
  chmod(f.c_str(), S_IRUSR | S_IRGRP);
  WriteIniString(r.ctx, f, "SerialNo", "2");
  EXPECT_EQ(ReadFile(f), "SerialNo=2\r\n");
  struct stat st;
  ASSERT_EQ(stat(f.c_str(), &st), 0);
  EXPECT_TRUE(st.st_mode & S_IWUSR);
  EXPECT_TRUE(st.st_mode & S_IRGRP);  // the other access bits are kept

  // The temporary file cannot be made: "Fatal error", status 1, the file intact.
  std::filesystem::create_directory(f + ".000");
  int releases = 0;
  r.ctx.releaseOnExit = [&] { ++releases; };
  EXPECT_EQ(StatusOf([&] { WriteIniString(r.ctx, f, "SerialNo", "3"); }), 1);
  EXPECT_EQ(r.console.Output(), "Fatal error\n");
  EXPECT_EQ(releases, 1);
  EXPECT_EQ(ReadFile(f), "SerialNo=2\r\n");
  std::filesystem::remove(f + ".000");

  // A parameter file that is there but cannot be read.
  r.console.ClearOutput();
  EXPECT_EQ(StatusOf([&] { ReadIniString(r.ctx, dir.path, "SerialNo"); }), 1);
  EXPECT_EQ(r.console.Output(), "Fatal error\n");

  // A replacement the system refuses (needs a user that permissions bind).
  if (geteuid() != 0) {
    std::string sub = dir / "locked";
    std::filesystem::create_directory(sub);
    WriteFile(sub + "/job.ini", "A=1\r\n");
    WriteFile(sub + "/job.ini.000", "");
    chmod((sub + "/job.ini.000").c_str(), 0666);
    chmod(sub.c_str(), S_IRUSR | S_IXUSR);
    r.console.ClearOutput();
    EXPECT_EQ(StatusOf([&] { WriteIniString(r.ctx, sub + "/job.ini", "A", "2"); }), 1);
    EXPECT_EQ(r.console.Output(), "INI File is locked: " + sub + "/job.ini\n");
    EXPECT_EQ(ReadFile(sub + "/job.ini"), "A=1\r\n");
  }
}

// A writer killed at any moment leaves the old file or the new one, whole.
TEST(IniWrite, KilledWriterLeavesAWholeFile) {
  TempDir dir;
  std::string f = dir / "job.ini";
  std::string bulk;
  for (int i = 0; i < 4000; ++i) bulk += "Line" + std::to_string(i) + "=some production value\r\n";
  const std::string fileA = bulk + "Message=AAAA\r\n";
  const std::string fileB = bulk + "Message=BBBB\r\n";
  for (int round = 0; round < 12; ++round) {
    WriteFile(f, fileA);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      FakeRun r;
      for (int i = 0;; ++i) WriteIniString(r.ctx, f, "Message", i % 2 ? "AAAA" : "BBBB");
    }
    usleep(static_cast<useconds_t>(2000 + round * 1700));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    std::string now = ReadFile(f);
    EXPECT_TRUE(now == fileA || now == fileB) << "round " << round << ": " << now.size() << " bytes";
  }
}

}  // namespace
}  // namespace corv
