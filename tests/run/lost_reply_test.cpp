// Runs whose last reply is lost: a unit that carried out its reset though no
// reply to it came back is found running its software again and the run
// succeeds; a unit that never got the reset still ends the run with "Unable to
// reset unit", in the update, manufacturing and interrogation runs alike.
#include "support/ini.h"
#include "update_rig.h"

namespace corv {
namespace {

using testing::CurrentDisplay;
using testing::LoseRepliesTo;
using testing::ManufacturingJob;
using testing::OnFrame;
using testing::UpdateBench;

enum class RunKind { Update, Manufacturing, Interrogation };

struct Case {
  const char* name;
  RunKind kind;
  sim::UnitProfile profile;
  bool overlapped;
  // The last request before the reset when `profile` is replaced by a unit
  // that holds everything already (MCU type 3), and how often the run sends it.
  const char* lastFrame;
  int lastCount;
};

std::vector<Case> Cases() {
  const int files = static_cast<int>(FontTable().size()) + 1;  // the images file and the fonts
  return {{"update", RunKind::Update, sim::DefaultProfile(), false, "programmer: 1082", files},
          {"overlapped update, MCU type 2", RunKind::Update, sim::DisplayMcu2Profile(), true, "programmer: 1053", 1},
          {"manufacturing", RunKind::Manufacturing, sim::DefaultProfile(), false, "programmer: 1082", files},
          {"interrogation", RunKind::Interrogation, sim::DefaultProfile(), false, "bootloader: 1013", 1}};
}

int RunIt(UpdateBench& b, const Case& c) {
  std::vector<std::string> args = {"-d", "COM3"};
  if (c.kind != RunKind::Manufacturing) args.insert(args.begin(), "-y");
  if (c.kind == RunKind::Manufacturing) args.insert(args.begin(), b.Job(ManufacturingJob(12345)));
  if (c.kind == RunKind::Interrogation) args.insert(args.begin(), "-i");
  if (c.overlapped) args.insert(args.begin(), "-o");
  return b.Run(args);
}

// The frame of the closing reset: sent to the flash programmer by an update,
// to the boot loader by an interrogation.
std::string ResetFrame(RunKind kind) {
  return kind == RunKind::Interrogation ? "bootloader: 1032" : "programmer: 1032";
}

TEST(LostReply, ResetCarriedOutIsConfirmedByTheUnitAnsweringAgain) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    UpdateBench b(c.profile);
    LoseRepliesTo(b.Model(), ResetFrame(c.kind));
    const int status = RunIt(b, c);
    EXPECT_EQ(status, 0) << b.Out();
    EXPECT_FALSE(b.Has("Fatal Error")) << b.Out();
    EXPECT_TRUE(b.Has("Sending reset command to unit\n")) << b.Out();
    EXPECT_FALSE(b.Has("OK - reset command sent")) << b.Out();  // no reply to it came back
    EXPECT_TRUE(b.Has("OK - got quick response"));
    EXPECT_EQ(b.Model().Mode(), sim::UnitMode::Software);
    EXPECT_FALSE(b.LockLeft());
    if (c.kind == RunKind::Interrogation) continue;
    EXPECT_TRUE(b.Has("Success: all operations are complete\n"));
    EXPECT_EQ(b.Model().Version(), kPayloadSoftwareVersion);
    if (c.overlapped) {
      EXPECT_TRUE(b.Has("Hardware handshaking disabled\n")) << b.Out();
    }
  }
}

TEST(LostReply, UnitThatNeverResetsEndsWithUnableToResetUnit) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    // From the last request before the reset on, nothing reaches the unit.
    UpdateBench b(c.profile.mcu == 3 ? CurrentDisplay() : c.profile);
    VirtualLine& line = *b.driver.Line(3);
    int seen = 0;
    OnFrame(b.Model(), c.lastFrame, [&] {
      if (++seen == c.lastCount) line.toFar.errorRate = 1.0;
    });
    const int status = RunIt(b, c);
    ASSERT_EQ(seen, c.lastCount) << b.Out();
    EXPECT_EQ(status, c.kind == RunKind::Manufacturing ? 2 : 1) << b.Out();
    EXPECT_TRUE(b.Has("Fatal Error: Unable to reset unit\n")) << b.Out();
    EXPECT_FALSE(b.Has("Unable to reconnect to unit"));
    EXPECT_FALSE(b.Has("Success"));
    EXPECT_EQ(b.Model().Counters().commands.count(0x1032), 0u);
    EXPECT_FALSE(b.LockLeft());
    if (c.kind == RunKind::Manufacturing) {
      EXPECT_EQ(ReadIniString(b.ctx, b.dir + "/job.ini", "Message"), "Unable to reset unit");
    }
  }
}

}  // namespace
}  // namespace corv
