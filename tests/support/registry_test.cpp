// Registry values in the REGEDIT4 hive file, and where the machine-wide values
// go: the hive file in the machine folder on POSIX, the system's registry on
// Windows.
#include <gtest/gtest.h>

#include "platform/hive_file.h"
#include "tests/common/scratch.h"
#include "platform/environment.h"
#include "platform/process.h"

namespace corv {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

constexpr const char* kPort = "SOFTWARE\\Oxlerand\\Corvanta\\CommPort";

TEST(Registry, ReadsStringsOnly) {
  TempDir dir;
  std::string hive = dir / "registry.reg";
  EXPECT_EQ(RegGetString(hive, kPort), "");  // no hive at all
  WriteFile(hive,
            "REGEDIT4\r\n\r\n"
            "[SOFTWARE\\Oxlerand\\Corvanta]\r\n"
            "\"CommPort\"=dword:00000003\r\n"
            "\"Quoted\"=\"say \\\"hi\\\" C:\\\\x\"\r\n"
            "@=\"root of key\"\r\n"
            "\r\n"
            "[]\r\n"
            "@=\"hive default\"\r\n");
  EXPECT_EQ(RegGetString(hive, kPort), "");  // a number is not a string
  EXPECT_EQ(RegGetString(hive, "software\\OXLERAND\\corvanta\\quoted"), "say \"hi\" C:\\x");
  EXPECT_EQ(RegGetString(hive, "SOFTWARE\\Oxlerand\\Corvanta\\"), "root of key");
  EXPECT_EQ(RegGetString(hive, "CommPort"), "hive default");  // no backslash: the root's default
  EXPECT_EQ(RegGetString(hive, "SOFTWARE\\Other\\CommPort"), "");

  RegSetString(hive, "SOFTWARE\\Big\\Fits", std::string(256, 'a'));
  RegSetString(hive, "SOFTWARE\\Big\\TooLong", std::string(257, 'a'));
  EXPECT_EQ(RegGetString(hive, "SOFTWARE\\Big\\Fits"), std::string(256, 'a'));
  EXPECT_EQ(RegGetString(hive, "SOFTWARE\\Big\\TooLong"), "");
}

TEST(Registry, WritesThroughWholeFile) {
  TempDir dir;
  std::string hive = dir / "registry.reg";
  RegSetString(hive, kPort, "3");
  EXPECT_EQ(ReadFile(hive), "REGEDIT4\r\n\r\n[SOFTWARE\\Oxlerand\\Corvanta]\r\n\"CommPort\"=\"3\"\r\n");
  EXPECT_EQ(RegGetString(hive, kPort), "3");

  RegSetString(hive, "SOFTWARE\\Oxlerand\\Corvanta\\Other", "a\"b");
  RegSetString(hive, "SOFTWARE\\oxlerand\\corvanta\\commport", "12");  // the same value
  RegSetString(hive, "SOFTWARE\\Else\\X", "y");
  EXPECT_EQ(ReadFile(hive),
            "REGEDIT4\r\n\r\n[SOFTWARE\\Oxlerand\\Corvanta]\r\n\"CommPort\"=\"12\"\r\n\"Other\"=\"a\\\"b\"\r\n"
            "\r\n[SOFTWARE\\Else]\r\n\"X\"=\"y\"\r\n");

  // An empty text deletes the value and keeps the key; deleting a missing one
  // changes nothing.
  RegSetString(hive, kPort, "");
  EXPECT_EQ(RegGetString(hive, kPort), "");
  EXPECT_NE(ReadFile(hive).find("[SOFTWARE\\Oxlerand\\Corvanta]\r\n\"Other\""), std::string::npos);
  std::string before = ReadFile(hive);
  RegSetString(hive, "SOFTWARE\\Nowhere\\X", "");
  EXPECT_EQ(ReadFile(hive), before);

  // Lines the writer does not know (comments, hex values over several lines,
  // LF-only files) are kept.
  WriteFile(hive, "REGEDIT4\n\n; note\n[SOFTWARE\\Oxlerand\\Corvanta]\n\"Bin\"=hex:01,02,\\\n  03\n\n");
  RegSetString(hive, kPort, "4");
  EXPECT_EQ(ReadFile(hive),
            "REGEDIT4\n\n; note\n[SOFTWARE\\Oxlerand\\Corvanta]\n\"Bin\"=hex:01,02,\\\n  03\n\"CommPort\"=\"4\"\n\n");
}

TEST(Registry, RefusedWritesChangeNothing) {
  TempDir dir;
  RegSetString(dir / "missing/registry.reg", kPort, "3");  // the folder is never made
  EXPECT_FALSE(std::filesystem::exists(dir / "missing"));

  std::string root = dir.path;
  setenv("CORVANTAROOT", root.c_str(), 1); ReadSystemEnvironment();
#ifdef _WIN32
  // Windows has no machine folder: CORVANTAROOT means nothing, the value goes
  // to the system's registry and no hive file is made. A value of this test's
  // own, as the other test programs share the registry.
  const std::string value = "SOFTWARE\\Oxlerand\\Corvanta\\RegistryTest" + std::to_string(ProcessNumber());
  RegSetMachineString(value, "7");
  EXPECT_EQ(RegGetMachineString(value), "7");
  RegSetMachineString(value, "");
  EXPECT_EQ(RegGetMachineString(value), "");
  unsetenv("CORVANTAROOT"); ReadSystemEnvironment();
  EXPECT_TRUE(std::filesystem::is_empty(dir.path));
#else
  // The machine folder comes from CORVANTAROOT.
  RegSetMachineString(kPort, "7");
  EXPECT_EQ(RegGetMachineString(kPort), "7");
  EXPECT_EQ(RegGetString(dir / "registry.reg", kPort), "7");
  unsetenv("CORVANTAROOT"); ReadSystemEnvironment();
  // No temporary files left behind.
  int files = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir.path)) ++files;
  EXPECT_EQ(files, 1);
#endif
}

}  // namespace
}  // namespace corv
