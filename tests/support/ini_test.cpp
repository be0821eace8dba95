// The parameter file: reading keys, rewriting them without losing anything, and
// the failures that end the run.
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <functional>

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

  // A job file written on Linux: LF ends its lines, so every key is seen.
  WriteFile(f, "CorvManufacture=TRUE\nProgram=1\nSerialNo=5\nLast=end");
  EXPECT_TRUE(ReadIniBool(r.ctx, f, "CorvManufacture"));
  EXPECT_EQ(ReadIniString(r.ctx, f, "Program"), "1");
  EXPECT_EQ(ReadIniInt(r.ctx, f, "SerialNo"), 5);
  EXPECT_EQ(ReadIniString(r.ctx, f, "Last"), "end");
  // Mixed ends: CR LF is one end, a CR or a LF alone another.
  WriteFile(f, "A=1\r\n\nB=2\rC=3\n\rD=4\r\n");
  for (auto [k, v] : {std::pair{"A", "1"}, {"B", "2"}, {"C", "3"}, {"D", "4"}}) {
    EXPECT_EQ(ReadIniString(r.ctx, f, k), v) << k;
  }
  EXPECT_EQ(r.console.Output(), "");
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
  WriteIniString(r.ctx, f, "LFonly", "2");  // a line ended by LF alone is a line of its own
  EXPECT_EQ(ReadFile(f),
            "SerialNo=789\r\nBare\r\n\r\nSerialNo=789\r\nKey = 5\r\nOdd\rLFonly=2\r\nTail=x\r\nProgram=true\r\n");
  EXPECT_TRUE(ReadIniBool(r.ctx, f, "Program"));
  WriteIniInt(r.ctx, f, "SerialNo", -3);
  EXPECT_EQ(ReadIniInt(r.ctx, f, "SerialNo"), -3);
  EXPECT_FALSE(std::filesystem::exists(f + ".000"));

  // A job file written on Linux keeps its untouched lines byte for byte; the
  // replaced and the added lines end as its first line does.
  WriteFile(f, "Program=1\nMessage=old\r\nSerialNo=5\nMessage=older\n");
  WriteIniString(r.ctx, f, "Message", "Incorrect arguments");
  EXPECT_EQ(ReadFile(f), "Program=1\nMessage=Incorrect arguments\nSerialNo=5\nMessage=Incorrect arguments\n");
  EXPECT_EQ(ReadIniString(r.ctx, f, "Message"), "Incorrect arguments");
  EXPECT_EQ(ReadIniInt(r.ctx, f, "SerialNo"), 5);
  WriteFile(f, "A=1\nB=2\n");
  WriteIniString(r.ctx, f, "Message", "m");
  EXPECT_EQ(ReadFile(f), "A=1\nB=2\nMessage=m\n");
  WriteFile(f, "A=1\nB=2");
  WriteIniString(r.ctx, f, "Message", "m");
  EXPECT_EQ(ReadFile(f), "A=1\nB=2\nMessage=m\n");
  WriteFile(f, "A=1\r\nB=2\nC=3");
  WriteIniString(r.ctx, f, "Message", "m");
  EXPECT_EQ(ReadFile(f), "A=1\r\nB=2\nC=3\r\nMessage=m\r\n");
  EXPECT_EQ(ReadIniString(r.ctx, f, "B"), "2");
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

  // The temporary file cannot be made: "Fatal error" with the file and the
  // reason, status 1, the file intact.
  std::filesystem::create_directory(f + ".000");
  int releases = 0;
  held::Owner port;
  port.Take(held::Kind::Port, [&] { ++releases; });
  EXPECT_EQ(StatusOf([&] { WriteIniString(r.ctx, f, "SerialNo", "3"); }), 1);
  EXPECT_EQ(r.console.Output(), "Fatal error: " + f + ": Is a directory\n");
  EXPECT_EQ(releases, 1);
  EXPECT_EQ(ReadFile(f), "SerialNo=2\r\n");
  std::filesystem::remove(f + ".000");

  // A parameter file that is there but is a folder: readers and the writer stop.
  for (bool writing : {false, true}) {
    r.console.ClearOutput();
    EXPECT_EQ(StatusOf([&] {
                if (writing) {
                  WriteIniString(r.ctx, dir.path, "Message", "x");
                } else {
                  ReadIniString(r.ctx, dir.path, "SerialNo");
                }
              }),
              1);
    EXPECT_EQ(r.console.Output(), "Fatal error: " + dir.path + ": Is a directory\n");
  }
  EXPECT_FALSE(std::filesystem::exists(dir.path + ".000"));

}

// A link planted under the temporary file's name (a shared job folder) is
// removed, never written through: its target stays as it was, and the file
// is replaced by a plain one.
TEST(IniWrite, PlantedLinkIsNotWrittenThrough) {
  TempDir dir;
  FakeRun r;
  const std::string f = dir / "job.ini", victim = dir / "victim.txt";
  WriteFile(victim, "keep\n");
  WriteFile(f, "Program=TRUE\r\n");
  std::filesystem::create_symlink(victim, f + ".000");
  WriteIniString(r.ctx, f, "Message", "m");
  EXPECT_EQ(ReadFile(victim), "keep\n");
  EXPECT_FALSE(std::filesystem::is_symlink(f));
  EXPECT_EQ(ReadFile(f), "Program=TRUE\r\nMessage=m\r\n");
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(f + ".000")));
}

// What a run on a scripted console printed and the status it ended with.
struct Ended {
  int status = -100;
  std::string out;
};

// Runs `fn` in a child process as a user that file permissions bind (nobody,
// when the tests run as root), so that a file can be closed to it.
Ended AsBoundUser(const std::function<void(Context&)>& fn) {
  int fds[2];
  if (pipe(fds) != 0) return {-200, "no pipe"};
  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return {-200, "no fork"};
  }
  if (pid == 0) {
    close(fds[0]);
    std::string report;
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
      report = "-300 cannot drop root";
    } else {
      FakeRun r;
      int status = StatusOf([&] { fn(r.ctx); });
      report = std::to_string(status) + " " + r.console.Output();
    }
    ssize_t ignored = write(fds[1], report.data(), report.size());
    (void)ignored;
    _exit(0);
  }
  close(fds[1]);
  std::string report;
  char buf[512];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) report.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  waitpid(pid, nullptr, 0);
  size_t blank = report.find(' ');
  if (blank == std::string::npos) return {-400, report};
  return {std::stoi(report.substr(0, blank)), report.substr(blank + 1)};
}

// A parameter file closed to the user: "Fatal error", the file's name and the
// system's reason, status 1; a replacement the folder refuses after the
// temporary file was written: "INI File is locked: ".
TEST(IniFiles, ClosedToTheUser) {
  TempDir dir;
  chmod(dir.path.c_str(), 0755);
  const std::string f = dir / "job.ini";
  WriteFile(f, "CorvManufacture=1\r\n");
  chmod(f.c_str(), 0);
  Ended read = AsBoundUser([&](Context& ctx) { ReadIniBool(ctx, f, "CorvManufacture"); });
  if (read.status == -300) GTEST_SKIP() << "this system does not let root become another user";
  EXPECT_EQ(read.status, 1);
  EXPECT_EQ(read.out, "Fatal error: " + f + ": Permission denied\n");
  Ended write = AsBoundUser([&](Context& ctx) { WriteIniString(ctx, f, "Message", "x"); });
  EXPECT_EQ(write.status, 1);
  EXPECT_EQ(write.out, "Fatal error: " + f + ": Permission denied\n");

  // Readable, but the folder takes no new file.
  chmod(f.c_str(), 0666);
  chmod(dir.path.c_str(), 0555);
  write = AsBoundUser([&](Context& ctx) { WriteIniString(ctx, f, "Message", "x"); });
  EXPECT_EQ(write.status, 1);
  EXPECT_EQ(write.out, "Fatal error: " + f + ": Permission denied\n");
  Ended readable = AsBoundUser([&](Context& ctx) {
    if (ReadIniBool(ctx, f, "CorvManufacture")) ctx.Plain() << "read";
  });
  EXPECT_EQ(readable.status, -100);
  EXPECT_EQ(readable.out, "read");

  // A temporary file left there is never written through: the folder that
  // keeps it from being removed stops the run with the reason.
  chmod(dir.path.c_str(), 0755);
  WriteFile(f + ".000", "");
  chmod((f + ".000").c_str(), 0666);
  chmod(dir.path.c_str(), 0555);
  write = AsBoundUser([&](Context& ctx) { WriteIniString(ctx, f, "Message", "x"); });
  EXPECT_EQ(write.status, 1);
  EXPECT_EQ(write.out, "Fatal error: " + f + ": Permission denied\n");
  chmod(dir.path.c_str(), 0755);
  EXPECT_EQ(ReadFile(f), "CorvManufacture=1\r\n");
  EXPECT_EQ(ReadFile(f + ".000"), "");

  // A folder on the way is closed: the file cannot even be looked up, which is
  // no reason to read it as missing. A missing file in an open folder still is.
  std::filesystem::create_directory(dir / "closed");
  const std::string hidden = dir / "closed/job.ini";
  WriteFile(hidden, "CorvManufacture=1\r\n");
  chmod((dir / "closed").c_str(), 0700);
  read = AsBoundUser([&](Context& ctx) { ReadIniBool(ctx, hidden, "CorvManufacture"); });
  EXPECT_EQ(read.status, 1);
  EXPECT_EQ(read.out, "Fatal error: " + hidden + ": Permission denied\n");
  chmod((dir / "closed").c_str(), 0755);
  read = AsBoundUser([&](Context& ctx) {
    if (!ReadIniBool(ctx, dir / "none.ini", "CorvManufacture") && ReadIniString(ctx, f + "/x", "A").empty())
      ctx.Plain() << "missing";
  });
  EXPECT_EQ(read.status, -100);
  EXPECT_EQ(read.out, "missing");
}

// A writer killed at any moment leaves the old file or the new one, whole.
TEST(IniWrite, KilledWriterLeavesAWholeFile) {
  TempDir dir;
  std::string f = dir / "job.ini";
  std::string bulk;
  for (int i = 0; i < 4000; ++i) bulk += "Line" + std::to_string(i) + "=some production value\r\n";
  const std::string fileA = bulk + "Message=AAAA\r\n";
  const std::string fileB = bulk + "Message=BBBB\r\n";
  int midWrite = 0;  // kills that found the writer's temporary file
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
    if (std::filesystem::exists(f + ".000")) ++midWrite;
    std::string now = ReadFile(f);
    EXPECT_TRUE(now == fileA || now == fileB) << "round " << round << ": " << now.size() << " bytes";
  }
  EXPECT_GT(midWrite, 0) << "no kill landed in the middle of a rewrite";
}

}  // namespace
}  // namespace corv
