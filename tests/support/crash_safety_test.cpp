// The parameter file and the registry hive under a writer killed with SIGKILL at
// seeded random moments while it rewrites them again and again: whatever the
// moment, the file is the old one or the new one, whole, and reads as one of the
// two values.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <random>
#include <string>

#include "support/ini.h"
#include "platform/hive_file.h"
#include "test_files.h"

namespace corv {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

using testing::FakeRun;

struct Outcome {
  int trials = 0;
  int whole = 0;
  int tempSeen = 0;  // kills that found a temporary file: the rename had not happened yet
};

// Runs `rewrite(i)` in a child forever; kills it after a seeded delay and checks
// that `target` is one of the two versions. `temps` tells whether a
// temporary file of the writer is in the folder.
Outcome KillWhileRewriting(const std::string& target, const std::string& first, const std::string& a,
                           const std::string& b, int trials, uint32_t seed,
                           const std::function<void(int)>& rewrite, const std::function<bool()>& temps) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> delayUs(0, 25000);
  Outcome o;
  for (int t = 0; t < trials; ++t) {
    WriteFile(target, first);
    const pid_t pid = fork();
    if (pid < 0) break;
    if (pid == 0) {
      for (int i = 0;; ++i) rewrite(i);
    }
    usleep(static_cast<useconds_t>(delayUs(rng)));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    ++o.trials;
    if (temps()) ++o.tempSeen;
    const std::string now = ReadFile(target);
    if (now == a || now == b) {
      ++o.whole;
    } else {
      ADD_FAILURE() << "trial " << t << " (seed " << seed << "): " << now.size() << " bytes, neither version";
    }
  }
  return o;
}

bool AnyFileBut(const std::string& dir, const std::string& keep) {
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    if (e.path().filename() != keep) return true;
  }
  return false;
}

TEST(CrashSafety, ParameterFileIsOldOrNewWhole) {
  TempDir dir;
  const std::string f = dir / "job.ini";
  std::string bulk = "CorvManufacture=TRUE\r\nProgram=TRUE\r\n";
  for (int i = 0; i < 6000; ++i) bulk += "Key" + std::to_string(i) + "=production line value " + std::to_string(i) + "\r\n";
  const std::string a = bulk + "Message=Unable to connect to unit\r\n";
  const std::string b = bulk + "Message=Success\r\n";
  FakeRun r;
  int midWrite = 0;  // kills that found the writer's temporary file, over both seeds
  for (uint32_t seed : {1u, 2u}) {
    // The writer makes exactly these two files from either one.
    WriteFile(f, a);
    WriteIniString(r.ctx, f, "Message", "Success");
    ASSERT_EQ(ReadFile(f), b);
    const Outcome o = KillWhileRewriting(
        f, a, a, b, 30, seed,
        [&](int i) {
          FakeRun child;
          WriteIniString(child.ctx, f, "Message", i % 2 ? "Unable to connect to unit" : "Success");
        },
        [&] { return std::filesystem::exists(f + ".000"); });
    EXPECT_EQ(o.whole, o.trials);
    EXPECT_EQ(o.trials, 30);
    midWrite += o.tempSeen;
    const std::string message = ReadIniString(r.ctx, f, "Message");
    EXPECT_TRUE(message == "Success" || message == "Unable to connect to unit") << message;
    std::printf("[ crash    ] parameter file, seed %u: %d of %d whole, %d killed before the rename\n", seed,
                o.whole, o.trials, o.tempSeen);
  }
  EXPECT_GT(midWrite, 0) << "no kill landed in the middle of a rewrite";
}

TEST(CrashSafety, HiveIsOldOrNewWhole) {
  TempDir dir;
  const std::string hive = dir / "registry.reg";
  constexpr const char* kPort = "SOFTWARE\\Oxlerand\\Corvanta\\CommPort";
  std::string bulk = "REGEDIT4\r\n\r\n[SOFTWARE\\Oxlerand\\Corvanta]\r\n\"CommPort\"=\"3\"\r\n";
  for (int i = 0; i < 4000; ++i) bulk += "\"Value" + std::to_string(i) + "\"=\"some text of the product line\"\r\n";
  bulk += "\r\n[SOFTWARE\\Other]\r\n@=\"kept\"\r\n";
  WriteFile(hive, bulk);
  RegSetString(hive, kPort, "3");
  const std::string a = ReadFile(hive);
  RegSetString(hive, kPort, "12");
  const std::string b = ReadFile(hive);
  ASSERT_NE(a, b);
  for (uint32_t seed : {7u, 8u}) {
    const Outcome o = KillWhileRewriting(
        hive, a, a, b, 30, seed, [&](int i) { RegSetString(hive, kPort, i % 2 ? "3" : "12"); },
        [&] { return AnyFileBut(dir.path, "registry.reg"); });
    EXPECT_EQ(o.whole, o.trials);
    EXPECT_EQ(o.trials, 30);
    const std::string port = RegGetString(hive, kPort);
    EXPECT_TRUE(port == "3" || port == "12") << port;
    EXPECT_EQ(RegGetString(hive, "SOFTWARE\\Other\\"), "kept");
    std::printf("[ crash    ] hive, seed %u: %d of %d whole, %d killed before the rename\n", seed, o.whole,
                o.trials, o.tempSeen);
    // What a killed writer leaves beside the hive is its own temporary file only.
    for (const auto& e : std::filesystem::directory_iterator(dir.path)) {
      const std::string name = e.path().filename();
      EXPECT_TRUE(name == "registry.reg" || name.ends_with(".tmp")) << name;
      if (name != "registry.reg") std::filesystem::remove(e.path());
    }
  }
}

}  // namespace
}  // namespace corv
