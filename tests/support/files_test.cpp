// Path helpers, file operations, the line reader and child processes.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "support/files.h"
#include "tests/common/scratch.h"

namespace corv {
namespace {

using testing::TempDir;
using testing::WriteFile;

TEST(Paths, DirectoryPartAndTrailingSeparator) {
  EXPECT_EQ(DirectoryPart("C:\\a\\b.txt"), "C:\\a");
  EXPECT_EQ(DirectoryPart("C:b.txt"), "C");
  EXPECT_EQ(DirectoryPart("b.txt"), "");
  EXPECT_EQ(DirectoryPart("/opt/corvanta/bin/CorvUpdater"), "/opt/corvanta/bin");
  EXPECT_EQ(DirectoryPart("/CorvUpdater"), "");
  EXPECT_EQ(WithTrailingSeparator("C:"), "C:");
  EXPECT_EQ(WithTrailingSeparator("C:\\dir"), "C:\\dir/");
  EXPECT_EQ(WithTrailingSeparator("/srv/"), "/srv/");
  EXPECT_EQ(WithTrailingSeparator(""), "/");
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
  chmod(f.c_str(), S_IRUSR);
  EXPECT_TRUE(RemoveFile(f, &err));
  EXPECT_FALSE(FileExists(f));
  EXPECT_FALSE(RemoveFile(f, &err));

  // The retry makes the name owner-writable and keeps its other access bits:
  // a folder that cannot be deleted stays as open to the others as it was.
  std::string folder = dir / "keep";
  ASSERT_TRUE(MakeDirectory(folder));
  chmod(folder.c_str(), 02755);
  EXPECT_FALSE(RemoveFile(folder, &err));
  EXPECT_EQ(err, SystemErrorText(EISDIR));
  struct stat st;
  ASSERT_EQ(stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 02755u);
  chmod(folder.c_str(), 0555);
  EXPECT_FALSE(RemoveFile(folder, &err));
  ASSERT_EQ(stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);

  EXPECT_TRUE(MakeDirectory(dir / "sub"));
  EXPECT_FALSE(MakeDirectory(dir / "sub", &err));
  EXPECT_FALSE(MakeDirectory(dir / "a/b"));

  int fd = CreateOutputFile(dir / "sub/new");
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(WriteAll(fd, "data"));
  CloseFile(fd);
  EXPECT_TRUE(RenameFile(dir / "sub/new", dir / "moved"));
  EXPECT_EQ(testing::ReadFile(dir / "moved"), "data");
  EXPECT_EQ(CreateOutputFile(dir / "no/such"), -1);
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
  EXPECT_EQ(error, EISDIR);
  EXPECT_FALSE(ReadWholeFile(dir / "none", bytes, error));
  EXPECT_EQ(error, ENOENT);
  EXPECT_EQ(SystemErrorText(ENOENT), "Error: " + SystemReason(ENOENT));
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

TEST(ChildProcess, ExitStatuses) {
  EXPECT_EQ(RunProgram("/bin/sh -c \"exit 0\""), 0);
  EXPECT_EQ(RunProgram("/bin/sh -c \"exit 7\""), 7);
  EXPECT_EQ(RunProgram("\"/bin/sh\" -c \"kill -9 $$\""), 128 + 9);
  EXPECT_LT(RunProgram("/no/such/program -x"), 0);
  EXPECT_LT(RunProgram(""), 0);
  // The quoted argument reaches the child as one argument without its quotes.
  EXPECT_EQ(RunProgram("/bin/sh -c \"case $0 in 'a b') exit 5;; esac\" \"a b\""), 5);
}

}  // namespace
}  // namespace corv
