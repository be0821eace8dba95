// The Win32 backends where they differ from POSIX: replacing a read-only file,
// deleting one, the error numbers the neutral code tells apart, the registry's
// string values, the system's texts, the port's open outcomes, the abort handler.
// Run under Wine in CI; a real Windows behaves the same for all of these.
#include <windows.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <regex>
#include <string>

#include "platform/system_port.h"
#include "platform/conventions.h"
#include "platform/log_file.h"
#include "platform/win32/console_keys.h"
#include "platform/win32/held_record.h"
#include "platform/abort_handler.h"
#include "platform/file_system.h"
#include "platform/process.h"
#include "platform/registry_store.h"
#include "platform/system_error.h"
#include "support/files.h"
#include "tests/common/scratch.h"

namespace corv {
namespace {

namespace fs = std::filesystem;

using Folder = testing::TempDir;
using testing::WriteFile;

bool ReadOnly(const std::string& file) {
  const DWORD a = GetFileAttributesA(file.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY);
}

TEST(Win32Files, ReplaceTakesTheOldFilesPlaceEvenWhenItWasReadOnly) {
  Folder dir("corv-win32");
  const std::string file = dir / "job.ini", temp = dir / "job.tmp";
  WriteFile(file, "old\r\n");
  SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_READONLY);
  WriteFile(temp, "left by an earlier run");  // removed, not written through

  // Bytes go through unchanged: no line-end translation.
  const ReplaceResult r = ReplaceWholeFile(file, temp, "new\r\nline\n");
  EXPECT_EQ(r.step, ReplaceStep::Done);
  EXPECT_EQ(testing::ReadFile(file), "new\r\nline\n");
  EXPECT_FALSE(ReadOnly(file));
  EXPECT_FALSE(fs::exists(temp));

  // A new file too.
  EXPECT_EQ(ReplaceWholeFile(dir / "fresh.ini", temp, "x").step, ReplaceStep::Done);
  EXPECT_EQ(testing::ReadFile(dir / "fresh.ini"), "x");
  // A scanner's moment on the file just written delays the replace, never fails it.
  const HANDLE scanner = CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  const auto close = [](LPVOID h) -> DWORD { return Sleep(300), CloseHandle(h); };
  CloseHandle(CreateThread(nullptr, 0, close, scanner, 0, nullptr));
  EXPECT_EQ(ReplaceWholeFile(file, temp, "newer").step, ReplaceStep::Done);
}

TEST(Win32Files, AReplaceThatCannotMakeItsTemporaryFileChangesNothing) {
  Folder dir("corv-win32");
  const std::string file = dir / "job.ini";
  WriteFile(file, "old");
  const ReplaceResult r = ReplaceWholeFile(file, dir / "missing\\job.tmp", "new");
  EXPECT_EQ(r.step, ReplaceStep::TempFile);
  EXPECT_TRUE(FileNotFound(r.errorNumber));
  EXPECT_EQ(testing::ReadFile(file), "old");
}

TEST(Win32Files, RemoveClearsReadOnlyAndErrorsAreTheSystemsOwn) {
  Folder dir("corv-win32");
  const std::string file = dir / "lock";
  WriteFile(file, "");
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
  Folder dir("corv-win32");
  const std::string file = dir / "2021-12-06 17-51-03.log";
  int err = 0;
  const int fd = CreateNewFile(file, err);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(WriteAll(fd, std::string("a\r\nb\n\0c", 7)));
  CloseFile(fd);
  EXPECT_EQ(testing::ReadFile(file), std::string("a\r\nb\n\0c", 7));
  EXPECT_LT(CreateNewFile(file, err), 0);
  EXPECT_TRUE(FileAlreadyExists(err));

  // A rename replaces what is there.
  WriteFile(dir / "other", "y");
  EXPECT_TRUE(RenameFile(dir / "other", file));
  EXPECT_EQ(testing::ReadFile(file), "y");
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
  void TearDown() override { RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kKey, KEY_WOW64_32KEY, 0); }
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
  HKEY h = nullptr;  // the key stays, in the 32-bit view the product line's other tools use
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, &h), ERROR_SUCCESS);
  RegCloseKey(h);
}

TEST_F(Win32Registry, AValueOfAnotherTypeReadsAsEmpty) {
  HKEY h = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, &h,
                            nullptr),
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

// This program again as a child in `role`: its status (99: hung) and output.
std::pair<DWORD, std::string> RunChild(const char* role, const Folder& dir) {
  SetEnvironmentVariableA("CORV_WIN32_ROLE", role);
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput =
      CreateFileA((dir / "out").c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
  std::string command = "\"" + OwnProgramPath(nullptr) + "\" --gtest_filter=Win32Role.Child";
  PROCESS_INFORMATION pi{};
  DWORD status = 99;
  if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, dir.path.c_str(), &si, &pi)) {
    if (WaitForSingleObject(pi.hProcess, 10000) != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 99);
    GetExitCodeProcess(pi.hProcess, &status);
  }
  CloseHandle(si.hStdOutput);
  return {status, testing::ReadFile(dir / "out")};
}

// A console event's thread, its C run-time data made before the heap is locked.
DWORD WINAPI AbortSoon(LPVOID ready) {
  errno = 0;
  SetEvent(ready);
  Sleep(300);
  return std::raise(SIGABRT);
}

TEST(Win32Role, Child) {
  const char* role = std::getenv("CORV_WIN32_ROLE");
  if (!role) GTEST_SKIP() << "a child of the tests below";
  const HANDLE stdOut = GetStdHandle(STD_OUTPUT_HANDLE);
  FreeConsole();  // a console of its own for the Ctrl-C event; the output stays the file
  AllocConsole();
  SetStdHandle(STD_OUTPUT_HANDLE, stdOut);
  InstallAbortHandler();
  LogFile log;
  bool exists = false;
  int error = 0;
  ASSERT_EQ(log.Create("run.log", exists), 0);
  log.Write("CorvUpdater.exe\r\n000012: Searching");
  log.Note(LogLine::Open);
  ASSERT_NE(held::MakeLockFile("lockCorvantaCommPort1", error), held::kNone);
  if (std::string(role) == "key 3") {
    console_keys::Next([] { static int keys = 0; return Sleep(keys++ ? INFINITE : 0), 3; });
  } else {
    // The port: a pipe's client no one writes to, read with the heap's lock held.
    const std::string name = "\\\\.\\pipe\\corv-win32-" + std::to_string(GetCurrentProcessId());
    CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 64, 64, 0, nullptr);
    const HANDLE port = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held::win32::HoldPort(port), held::kNone);
    const HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    CloseHandle(CreateThread(nullptr, 0, AbortSoon, ready, 0, nullptr));
    WaitForSingleObject(ready, INFINITE);
    HeapLock(GetProcessHeap());
    DWORD n = 0, byte = 0;
    ReadFile(port, &byte, 1, &n, nullptr);
  }
  ExitProcess(0);
}

// A console event's way out whatever the run's thread is in: a read on a synchronous handle (on
// Windows no other call on it passes) with the heap's lock held, or a question (Ctrl-C is the key 3).
TEST(Win32AbortHandler, EndsTheProcessWhateverTheRunsThreadWasIn) {
  for (const char* role : {"read with the heap locked", "key 3"}) {
    Folder dir("corv-win32");
    const auto [status, out] = RunChild(role, dir);
    EXPECT_EQ(status, 1u) << role << out;
    EXPECT_NE(out.find("\n-- aborted\n"), std::string::npos) << role << out;
    EXPECT_TRUE(std::regex_match(testing::ReadFile(dir / "run.log"), std::regex("CorvUpdater.exe\r\n000012: Searching\r\n"
                                                                        "\\d{6}: -- aborted\r\n\\d{6}: ")));
    EXPECT_FALSE(fs::exists(dir / "lockCorvantaCommPort1")) << role;
  }
}

}  // namespace
}  // namespace corv
