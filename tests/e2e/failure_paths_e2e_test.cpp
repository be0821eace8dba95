// The built CorvUpdater against CorvSim units that really fail: the fatal
// error's line on the console and in the log, the exit status (2 with a
// parameter file, whose Message= then holds the text; 1 without), and what the
// unit holds afterwards; and a pre-production board whose secured boot loader
// comes with an old release, so the run rewrites the boot loader through the
// CorvBoot stand-in. Real time.
#include "sim/unit_data.h"
#include "update_e2e_rig.h"

namespace corv::e2e {
namespace {

std::string MessageOf(const std::string& job) {
  const std::string text = ReadFile(job);
  const size_t at = text.find("Message=");
  if (at == std::string::npos) return "(none)";
  return text.substr(at + 8, text.find("\r\n", at) - at - 8);
}

TEST(FailurePathsE2E, FatalErrorsEndTheRunWithTheirStatusAndMessage) {
  struct Case {
    const char* name;
    const char* faults;
    const char* message;
    const char* file51;  // what the unit then holds as file 51 ("" none)
  };
  const Case cases[] = {
      // Written whole, but the unit will not close it: it stays open, the run stops.
      {"close refused", "file51=none\nresult=0x1080:7\n", "Error closing file:07", "380,"},
      {"reset unit never happens", "unanswered=0x1032:1\n", "Unable to reset unit", "380,"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box(CurrentDisplayProfile() + c.faults);
    const std::string job = box.Job("Program=TRUE\r\n");
    const RunResult r = box.Run({"-y", job});
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_TRUE(r.Has("\nFatal Error: " + std::string(c.message) + "\n")) << r.out;
    EXPECT_NE(box.Log().find("Fatal Error: " + std::string(c.message) + "\r\n"), std::string::npos) << box.Log();
    EXPECT_EQ(MessageOf(job), c.message);
    EXPECT_FALSE(r.Has("Success"));
    EXPECT_FALSE(box.LockLeft());
    auto s = box.State();
    EXPECT_EQ(s["mode"], "programmer");  // never reset: the unit stays in its programmer
    EXPECT_EQ(s["version"], "510");
    EXPECT_EQ(s["file51"].substr(0, 4), c.file51);
  }
  {  // Without a parameter file: status 1.
    Sandbox box(CurrentDisplayProfile() + "file51=none\nresult=0x1080:7\n");
    const RunResult r = box.Run({"-y"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(r.Has("\nFatal Error: Error closing file:07\n"));
    EXPECT_FALSE(box.LockLeft());
  }
}

TEST(FailurePathsE2E, SecuredBootLoaderOfAnOldReleaseIsRewritten) {
  Sandbox box(CurrentDisplayProfile() + "bootFlags=0x82\nsecureBootRelease=8\n");
  const std::string job = box.Job(testing::ManufacturingJob(12345));
  const RunResult r = box.Run({job});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(r.Has("Updating with secured corvanta boot loader\n-- execute")) << r.out;
  // A notice: on the console without -d, and in the log.
  EXPECT_TRUE(r.Has("\nPreparing to update Boot Loader...\n")) << r.out;
  EXPECT_NE(box.Log().find("Preparing to update Boot Loader...\r\n"), std::string::npos);
  EXPECT_NE(box.Log().find("Updating boot loader because it is older than the current version\r\n"),
            std::string::npos);
  EXPECT_TRUE(r.Has("Success: all operations are complete\n"));
  EXPECT_EQ(MessageOf(job), "(none)");
  auto s = box.State();
  EXPECT_EQ(s["release"], "9");  // the boot-loader pass raised it
  EXPECT_EQ(std::stoi(s["flags"]) & 0x80, 0);
  EXPECT_EQ(s["mode"], "software");
  EXPECT_EQ(s["version"], "510");
  EXPECT_EQ(s["checksum"], "0xCFD9091F");
  EXPECT_EQ(s["serial"], "12345");
}

}  // namespace
}  // namespace corv::e2e
