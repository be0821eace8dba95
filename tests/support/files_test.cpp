// Path helpers, file operations, the line reader and child processes, each
// with the system's own names, error numbers and texts.
#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include "support/files.h"
#include "tests/common/child_program.h"
#include "tests/common/scratch.h"
#include "tests/common/system_names.h"

namespace corv {
namespace {

using testing::Sep;
using testing::TempDir;
using testing::WriteFile;

TEST(Paths, DirectoryPartAndTrailingSeparator) {
  EXPECT_EQ(DirectoryPart("C:\\a\\b.txt"), "C:\\a");
  EXPECT_EQ(DirectoryPart("C:b.txt"), "C");
  EXPECT_EQ(DirectoryPart("b.txt"), "");
  EXPECT_EQ(DirectoryPart("/opt/corvanta/bin/CorvUpdater"), "/opt/corvanta/bin");
  EXPECT_EQ(DirectoryPart("/CorvUpdater"), "");
  EXPECT_EQ(WithTrailingSeparator("C:"), "C:");
  EXPECT_EQ(WithTrailingSeparator("/srv/"), "/srv/");
  // The separator appended is the system's own.
#ifdef _WIN32
  EXPECT_EQ(AppendedSeparator(), '\\');
#else
  EXPECT_EQ(AppendedSeparator(), '/');
#endif
  EXPECT_EQ(WithTrailingSeparator("C:\\dir"), "C:\\dir" + Sep());
  EXPECT_EQ(WithTrailingSeparator(""), Sep());
}

TEST(TextHelpers, DigitsCaseFindNumbers) {
  EXPECT_TRUE(AllDigits(""));
  EXPECT_TRUE(AllDigits("0123"));
  EXPECT_FALSE(AllDigits("12a"));
  EXPECT_EQ(UpperCase("com7\xe9"), "COM7\xe9");
  EXPECT_EQ(Find("abcabc", "ca"), 2);
  EXPECT_EQ(Find("abc", "B"), -1);
  EXPECT_EQ(Find("abc", "B", true), 1);
  EXPECT_EQ(NumberText(42, 6), "000042");
  EXPECT_EQ(NumberText(-5, 3), "-005");
}

TEST(FileOps, ExistsDeleteRenameMake) {
  TempDir dir;
  std::string err;
  EXPECT_FALSE(FileExists("", &err));
  EXPECT_EQ(err, "Invalid Filename");
  EXPECT_FALSE(FileExists(dir / "none", &err));
  EXPECT_EQ(err.rfind("Error: ", 0), 0u);
  EXPECT_TRUE(FileExists(dir.path));  // folders count too

  std::string f = dir / "ro.txt";
  WriteFile(f, "x");
#ifdef _WIN32
  SetFileAttributesA(f.c_str(), FILE_ATTRIBUTE_READONLY);
#else
  chmod(f.c_str(), S_IRUSR);
#endif
  EXPECT_TRUE(RemoveFile(f, &err));
  EXPECT_FALSE(FileExists(f));
  EXPECT_FALSE(RemoveFile(f, &err));
  EXPECT_EQ(err, SystemErrorText(testing::kNoSuchFile));

  // The retry makes the name owner-writable and keeps its other access bits:
  // a folder that cannot be deleted stays as open to the others as it was.
  std::string folder = dir / "keep";
  ASSERT_TRUE(MakeDirectory(folder));
#ifdef _WIN32
  // On Windows the bits are attributes: read-only goes, hidden stays.
  SetFileAttributesA(folder.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
  EXPECT_FALSE(RemoveFile(folder, &err));
  EXPECT_EQ(err, SystemErrorText(testing::kIsAFolder));
  const DWORD attributes = GetFileAttributesA(folder.c_str());
  EXPECT_EQ(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY),
            static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN));
#else
  chmod(folder.c_str(), 02755);
  EXPECT_FALSE(RemoveFile(folder, &err));
  EXPECT_EQ(err, SystemErrorText(testing::kIsAFolder));
  struct stat st;
  ASSERT_EQ(stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 02755u);
  chmod(folder.c_str(), 0555);
  EXPECT_FALSE(RemoveFile(folder, &err));
  ASSERT_EQ(stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
#endif

  EXPECT_TRUE(MakeDirectory(dir / "sub"));
  EXPECT_FALSE(MakeDirectory(dir / "sub", &err));
  EXPECT_FALSE(MakeDirectory(dir / "a/b"));

  testing::WriteFile(dir / "sub/new", "data");
  EXPECT_TRUE(RenameFile(dir / "sub/new", dir / "moved"));
  EXPECT_EQ(testing::ReadFile(dir / "moved"), "data");
}

std::vector<std::string> Lines(const std::string& bytes) {
  std::vector<std::string> out;
  size_t pos = 0;
  for (std::string_view line; NextLine(bytes, pos, line);) out.emplace_back(line);
  EXPECT_EQ(pos, bytes.size());
  return out;
}

TEST(FileOps, LineReader) {
  using V = std::vector<std::string>;
  EXPECT_EQ(Lines("a\r\nbb\r\n\r\nlast"), (V{"a", "bb", "", "last"}));
  // A LF ends a line as a CR does; a CR LF pair is one line end.
  EXPECT_EQ(Lines("one\ntwo\nthree\n"), (V{"one", "two", "three"}));
  EXPECT_EQ(Lines("a\rb\n\nc\r\n\rd\n\re"), (V{"a", "b", "", "c", "", "d", "", "e"}));
  EXPECT_EQ(Lines(""), V{});
  EXPECT_EQ(Lines("\n"), V{""});
  std::string longLine(kMaxLineLength + 5, 'x');
  for (const char* end : {"\r\n", "\n"}) {
    V cut = Lines(longLine + end + "z");
    ASSERT_EQ(cut.size(), 3u);
    EXPECT_EQ(cut[0].size(), 32001u);
    EXPECT_EQ(cut[1], "xxxxx");
    EXPECT_EQ(cut[2], "z");
  }

  TempDir dir;
  std::string bytes;
  int error = 0;
  WriteFile(dir / "f", "a\r\nb");
  EXPECT_TRUE(ReadWholeFile(dir / "f", bytes, error));
  EXPECT_EQ(bytes, "a\r\nb");
  EXPECT_FALSE(ReadWholeFile(dir.path, bytes, error));
  EXPECT_EQ(error, testing::kIsAFolder);
  EXPECT_FALSE(ReadWholeFile(dir / "none", bytes, error));
  EXPECT_EQ(error, testing::kNoSuchFile);
  EXPECT_TRUE(FileNotFound(error));
  EXPECT_EQ(SystemErrorText(error), "Error: " + SystemReason(error));
}

TEST(ChildProcess, SplittingRule) {
  using V = std::vector<std::string>;
  EXPECT_EQ(SplitCommandLine("prog \"a b\" c   d"), (V{"prog", "\"a b\"", "c", "d"}));
  EXPECT_EQ(SplitCommandLine("\"/opt/x y/CorvBoot\" COM3 -x -b19200 -u01 -y"),
            (V{"\"/opt/x y/CorvBoot\"", "COM3", "-x", "-b19200", "-u01", "-y"}));
  EXPECT_EQ(SplitCommandLine("  lead trail  "), (V{"lead", "trail"}));
  EXPECT_EQ(SplitCommandLine("p \"open to end"), (V{"p", "\"open to end"}));
  EXPECT_EQ(SplitCommandLine(""), V{});
  std::string many = "p";
  for (int i = 0; i < 30; ++i) many += " a" + std::to_string(i);
  V bounded = SplitCommandLine(many);
  EXPECT_EQ(bounded.size(), kMaxArguments);
  EXPECT_EQ(bounded.back(), "a17");
}

#ifndef _WIN32
TEST(ChildProcess, ExitStatuses) {
  EXPECT_EQ(RunProgram("/bin/sh -c \"exit 0\""), 0);
  EXPECT_EQ(RunProgram("/bin/sh -c \"exit 7\""), 7);
  EXPECT_EQ(RunProgram("\"/bin/sh\" -c \"kill -9 $$\""), 128 + 9);
  EXPECT_LT(RunProgram("/no/such/program -x"), 0);
  EXPECT_LT(RunProgram(""), 0);
  // The quoted argument reaches the child as one argument without its quotes.
  EXPECT_EQ(RunProgram("/bin/sh -c \"case $0 in 'a b') exit 5;; esac\" \"a b\""), 5);
}
#else
// Windows has no /bin/sh: the children are copies of the stand-in, and the
// system's own cmd.exe.
TEST(ChildProcess, ExitStatuses) {
  using testing::MakeChildProgram;
  TempDir dir;
  EXPECT_EQ(RunProgram(MakeChildProgram(dir / "zero.exe", {})), 0);
  EXPECT_EQ(RunProgram("\"" + MakeChildProgram(dir / "seven.exe", {testing::ExitWith(7)}) + "\" -x"), 7);
  // Ended from outside: a failure, never "could not be started".
  EXPECT_EQ(RunProgram(MakeChildProgram(dir / "ended.exe", {testing::Terminated()})), testing::kTerminatedStatus);
  EXPECT_LT(RunProgram("C:\\no\\such\\program.exe -x"), 0);
  EXPECT_LT(RunProgram(""), 0);
  // The quoted argument reaches the child as one argument without its quotes.
  const std::string echo = MakeChildProgram(dir / "echo args.exe", {testing::WriteArguments(dir / "args")});
  EXPECT_EQ(RunProgram("\"" + echo + "\" \"a b\" c"), 0);
  EXPECT_EQ(testing::ReadFile(dir / "args"), "a b\nc\n");
  char system[MAX_PATH];
  ASSERT_GT(GetSystemDirectoryA(system, MAX_PATH), 0u);
  EXPECT_EQ(RunProgram(std::string(system) + "\\cmd.exe /c exit 3"), 3);
}
#endif

}  // namespace
}  // namespace corv
