// Inputs the fuzzers found that the parameter file and the hive got wrong: a
// key added to a file whose last line has no line end, and hive lines that end
// in several backslashes or a continuation at the very end of the file, and a
// value deleted from a key that holds it twice.
#include <gtest/gtest.h>

#include "support/ini.h"
#include "platform/hive_file.h"
#include "test_files.h"

namespace corv {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

TEST(FuzzFindings, AddedKeyStartsALineOfItsOwn) {
  TempDir dir;
  testing::FakeRun run;
  Context& ctx = run.ctx;
  const std::string f = dir / "job.ini";
  WriteFile(f, "CorvManufacture=TRUE\r\nSerialNo=1235\r\nMessage2=old\n");
  WriteIniString(ctx, f, "Message", "Success");
  EXPECT_EQ(ReadFile(f), "CorvManufacture=TRUE\r\nSerialNo=1235\r\nMessage2=old\nMessage=Success\r\n");
  EXPECT_EQ(ReadIniString(ctx, f, "Message"), "Success");
  EXPECT_EQ(ReadIniString(ctx, f, "Message2"), "old");
  // A last line without its line end gets one before the added line.
  WriteFile(f, "A=1\nB=2");
  WriteIniString(ctx, f, "Message", "x");
  EXPECT_EQ(ReadIniString(ctx, f, "B"), "2");
  EXPECT_EQ(ReadIniString(ctx, f, "Message"), "x");
  // Line ends already in place get nothing added.
  WriteFile(f, "A=1\r\n\n");
  WriteIniString(ctx, f, "B", "2");
  EXPECT_EQ(ReadFile(f), "A=1\r\n\nB=2\r\n");
  WriteFile(f, "\n\n");
  WriteIniString(ctx, f, "B", "2");
  EXPECT_EQ(ReadFile(f), "\n\nB=2\n");  // as the first line ends
  // An empty key matches the empty lines only, which the rewrite replaces.
  WriteFile(f, "=\n\n=\n\n");
  WriteIniString(ctx, f, "", "v");
  EXPECT_EQ(ReadFile(f), "=v\n=v\n=v\n=v\n");
  EXPECT_EQ(ReadIniString(ctx, f, ""), "v");
}

TEST(FuzzFindings, HiveContinuationsEndWhereTheirLineDoes) {
  TempDir dir;
  const std::string hive = dir / "registry.reg";
  // A hex value's line ends in a run of backslashes; the empty line after it
  // ends the continuation, so the value after that is its own.
  WriteFile(hive, "REGEDIT4\r\n\r\n[A\\B]\r\n\"long\"=hex:01,\\\\\\\r\n\r\n\"v\"=\"old\"\r\n");
  EXPECT_EQ(RegGetString(hive, "A\\B\\v"), "old");
  // A continuation mark on the file's last line must not swallow an added value.
  WriteFile(hive, "REGEDIT4\r\n\r\n[A\\B]\r\n\"long\"=hex:01,0\\\\\\\\\\");
  RegSetString(hive, "A\\B\\v", "x");
  EXPECT_EQ(RegGetString(hive, "A\\B\\v"), "x");
  RegSetString(hive, "A\\B\\w", "y");
  EXPECT_EQ(RegGetString(hive, "A\\B\\v"), "x");
  EXPECT_EQ(RegGetString(hive, "A\\B\\w"), "y");
  // Deleting a value takes every line of it in its key, a hand-made second too.
  WriteFile(hive, "REGEDIT4\r\n\r\n[A\\B]\r\n\"v\"=\"unclosed\r\n\"w\"=\"1\"\r\n\"V\"=\"old\"\r\n[C]\r\n\"v\"=\"c\"\r\n");
  RegSetString(hive, "A\\B\\v", "");
  EXPECT_EQ(RegGetString(hive, "A\\B\\v"), "");
  EXPECT_EQ(ReadFile(hive), "REGEDIT4\r\n\r\n[A\\B]\r\n\"w\"=\"1\"\r\n[C]\r\n\"v\"=\"c\"\r\n");
  WriteFile(hive, "REGEDIT4\r\n\r\n[A\\B]\r\n; unfinished \\");
  RegSetString(hive, "A\\B\\CommPort", "3");
  EXPECT_EQ(RegGetString(hive, "A\\B\\CommPort"), "3");
}

}  // namespace
}  // namespace corv
