// The Win32 backends where they differ from POSIX: replacing a read-only file,
// deleting one, the error numbers the neutral code tells apart, the registry's
// string values, the system's texts, and the port's open outcomes. Run under
// Wine in CI; a real Windows behaves the same for all of these.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/system_port.h"
#include "platform/conventions.h"
#include "platform/file_system.h"
#include "platform/process.h"
#include "platform/registry_store.h"
#include "platform/system_error.h"
#include "support/files.h"

namespace corv {
namespace {

namespace fs = std::filesystem;

struct Folder {
  Folder() {
    path = (fs::temp_directory_path() / ("corv-win32-" + std::to_string(GetCurrentProcessId()) + "-" +
                                         std::to_string(GetTickCount64())))
               .string();
    fs::create_directories(path);
  }
  ~Folder() {
    std::error_code ec;
    for (auto& e : fs::recursive_directory_iterator(path, ec))
      SetFileAttributesA(e.path().string().c_str(), FILE_ATTRIBUTE_NORMAL);
    fs::remove_all(path, ec);
  }
  std::string operator/(const std::string& name) const { return path + "\\" + name; }
  std::string path;
};

std::string Contents(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void Put(const std::string& file, const std::string& bytes) {
  std::ofstream(file, std::ios::binary) << bytes;
}

bool ReadOnly(const std::string& file) {
  const DWORD a = GetFileAttributesA(file.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY);
}

TEST(Win32Files, ReplaceTakesTheOldFilesPlaceEvenWhenItWasReadOnly) {
  Folder dir;
  const std::string file = dir / "job.ini", temp = dir / "job.tmp";
  Put(file, "old\r\n");
  SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_READONLY);

  // Bytes go through unchanged: no line-end translation.
  const ReplaceResult r = ReplaceWholeFile(file, temp, "new\r\nline\n");
  EXPECT_EQ(r.step, ReplaceStep::Done);
  EXPECT_EQ(Contents(file), "new\r\nline\n");
  EXPECT_FALSE(ReadOnly(file));
  EXPECT_FALSE(fs::exists(temp));

  // A new file too.
  EXPECT_EQ(ReplaceWholeFile(dir / "fresh.ini", temp, "x").step, ReplaceStep::Done);
  EXPECT_EQ(Contents(dir / "fresh.ini"), "x");
}

TEST(Win32Files, AReplaceThatCannotMakeItsTemporaryFileChangesNothing) {
  Folder dir;
  const std::string file = dir / "job.ini";
  Put(file, "old");
  const ReplaceResult r = ReplaceWholeFile(file, dir / "missing\\job.tmp", "new");
  EXPECT_EQ(r.step, ReplaceStep::TempFile);
  EXPECT_TRUE(FileNotFound(r.errorNumber));
  EXPECT_EQ(Contents(file), "old");
}

TEST(Win32Files, RemoveClearsReadOnlyAndErrorsAreTheSystemsOwn) {
  Folder dir;
  const std::string file = dir / "lock";
  Put(file, "");
  SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_READONLY);
  EXPECT_TRUE(RemoveFile(file));
  EXPECT_FALSE(fs::exists(file));

  std::string why;
  EXPECT_FALSE(RemoveFile(file, &why));
  EXPECT_EQ(why, SystemErrorText(ERROR_FILE_NOT_FOUND));
  // The table's own line end is not part of the text.
  EXPECT_EQ(why.find_first_of("\r\n"), std::string::npos);
  EXPECT_EQ(why.rfind("Error: ", 0), 0u);

  int err = 0;
  std::string bytes;
  EXPECT_FALSE(ReadWholeFile(file, bytes, err));
  EXPECT_TRUE(FileNotFound(err));
  EXPECT_FALSE(ReadWholeFile(dir.path, bytes, err));  // a folder is no file
  EXPECT_FALSE(FileNotFound(err));
  EXPECT_EQ(LookUpFile(dir / "none\\deeper", err), FileLookup::Missing);
  EXPECT_EQ(LookUpFile(dir.path, err), FileLookup::Present);
}

TEST(Win32Files, NewFilesAreMadeOnceAndWrittenAsBytes) {
  Folder dir;
  const std::string file = dir / "2021-12-06 17-51-03.log";
  int err = 0;
  const int fd = CreateNewFile(file, err);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(WriteAll(fd, std::string("a\r\nb\n\0c", 7)));
  CloseFile(fd);
  EXPECT_EQ(Contents(file), std::string("a\r\nb\n\0c", 7));
  EXPECT_LT(CreateNewFile(file, err), 0);
  EXPECT_TRUE(FileAlreadyExists(err));

  // An output file is truncated; a rename replaces what is there.
  Put(dir / "other", "zzzz");
  const int out = CreateOutputFile(dir / "other");
  ASSERT_GE(out, 0);
  WriteAll(out, "y");
  CloseFile(out);
  EXPECT_TRUE(RenameFile(dir / "other", file));
  EXPECT_EQ(Contents(file), "y");
}

TEST(Win32Names, FoldersGetABackslashAndTheLogFolderIsBesideTheProgram) {
  EXPECT_EQ(WithTrailingSeparator("F:\\EPROM\\Corvanta\\Current"), "F:\\EPROM\\Corvanta\\Current\\");
  EXPECT_EQ(WithTrailingSeparator("C:\\"), "C:\\");
  EXPECT_STREQ(DefaultHomeFolder(), "F:\\EPROM\\Corvanta\\Current");
  EXPECT_STREQ(BootProgramFile(), "CorvBoot.exe");
  const std::string self = OwnProgramPath(nullptr);
  EXPECT_TRUE(fs::exists(self)) << self;
  EXPECT_NE(self.find(".exe"), std::string::npos);
}

class Win32Registry : public ::testing::Test {
 protected:
  static constexpr const char* kKey = "SOFTWARE\\CorvTest\\Win32Registry";
  void TearDown() override { RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE\\CorvTest"); }
};

TEST_F(Win32Registry, StringValuesComeBackAndAnEmptyTextDeletesTheValue) {
  const std::string path = std::string(kKey) + "\\CommPort";
  EXPECT_EQ(RegGetMachineString(path), "");
  RegSetMachineString(path, "12");
  EXPECT_EQ(RegGetMachineString(path), "12");
  // Key paths compare without regard to case.
  EXPECT_EQ(RegGetMachineString("software\\corvtest\\WIN32REGISTRY\\CommPort"), "12");
  RegSetMachineString(path, "");
  EXPECT_EQ(RegGetMachineString(path), "");
  HKEY h = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_QUERY_VALUE, &h), ERROR_SUCCESS);  // the key stays
  RegCloseKey(h);
}

TEST_F(Win32Registry, AValueOfAnotherTypeReadsAsEmpty) {
  HKEY h = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &h, nullptr),
            ERROR_SUCCESS);
  const DWORD three = 3;
  RegSetValueExA(h, "CommPort", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&three), sizeof three);
  RegCloseKey(h);
  EXPECT_EQ(RegGetMachineString(std::string(kKey) + "\\CommPort"), "");
}

TEST(Win32Port, PortsThatDoNotExistAreNotPresent) {
  const std::unique_ptr<PortDriver> driver = SystemPortDriver();
  std::string reported;
  driver->SetErrorHook([&](std::string_view t) { reported += t; });
  LineSettings line;
  for (int16_t n : {int16_t{0}, int16_t{-1}, int16_t{255}}) {
    OpenResult r;
    EXPECT_EQ(driver->Open(n, line, 100, r), nullptr);
    EXPECT_EQ(r.outcome, OpenOutcome::NotPresent) << n;
    EXPECT_EQ(r.systemError, ERROR_FILE_NOT_FOUND) << n;
  }
  // A failed open is told to the caller, not reported.
  EXPECT_EQ(reported, "");
}

}  // namespace
}  // namespace corv
