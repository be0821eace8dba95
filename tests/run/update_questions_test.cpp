// The questions of an update on virtual time (the confirmation, the unit type
// when the card does not tell it) and the boot-loader decisions that only a
// pre-production board with an old boot loader reaches.
#include "link/discovery.h"
#include "run/link_session.h"
#include "run/update_decision.h"
#include "run/update_procedure.h"
#include "update_rig.h"

namespace corv {
namespace {

using testing::CurrentDisplay;
using testing::UpdateBench;

TEST(UpdateQuestions, ConfirmationDeclinedOrGiven) {
  const std::string question = "Do you wish to upgrade this Corvanta unit? (y/n)\n";
  for (const char* keys : {"n", ""}) {  // a key other than y, or the end of the input
    SCOPED_TRACE(keys);
    UpdateBench b(sim::DefaultProfile(), keys);
    const std::string job = b.Job("Program=TRUE\r\n");
    EXPECT_EQ(b.Run({job, "COM3"}), 1);  // not 2: a declined question is no fatal error
    EXPECT_TRUE(b.Has(question)) << b.Out();
    EXPECT_FALSE(b.Has("Fatal Error"));
    EXPECT_FALSE(b.Has("Press Enter"));
    EXPECT_EQ(testing::ReadFile(job), "Program=TRUE\r\n");
    EXPECT_EQ(b.Model().Counters().commands.count(0x1011), 0u);
    EXPECT_FALSE(b.LockLeft());
    EXPECT_FALSE(b.PortOpen());
    EXPECT_GE(b.console.Restores(), 1);
  }
  UpdateBench b(CurrentDisplay(), "Y\r");
  EXPECT_EQ(b.Run({"COM3"}), 0);
  EXPECT_TRUE(b.Has(question)) << b.Out();
  EXPECT_TRUE(b.Has("Success: all operations are complete\nPress Enter key to continue\n")) << b.Out();
}

// A session connected to the bench's unit whose card gave no unit type.
struct UnknownType : UpdateBench {
  explicit UnknownType(std::string keys) : UpdateBench(CurrentDisplay(), std::move(keys)), session(ctx, driver) {
    ctx.settings.portNumber = 3;
    ctx.settings.yesToPrompts = true;
    OpenUnitPort(session.TheLink());
    EXPECT_TRUE(ConnectUnit(session.TheLink()));
    session.ReadExtendedInformation();
    session.Info().cardFamily = 0;
  }
  int Update() {
    UpdateTarget target{session.TheLink(), session.Info(), record, [] {}};
    try {
      RunUpdate(ctx, target, 0, true);
    } catch (const RunExit& e) {
      return e.status;
    }
    return 0;
  }
  LinkSession session;
  ManufacturingRecord record{};
};

TEST(UpdateQuestions, UnitTypeAskedUntilDisplayOrTransmitter) {
  const std::string question = "Please enter corvanta unit type (1=Display, 2=Transmitter, 3=DisplayM01): ";
  {
    UnknownType u("3\r1\r");
    EXPECT_EQ(u.Update(), 0);
    EXPECT_EQ(u.Count(question), 2u);
    EXPECT_TRUE(u.Has(question + "3\n" + question + "1\n")) << u.Out();
    EXPECT_EQ(u.session.Info().cardFamily, 1);
    EXPECT_TRUE(u.Has("-- corvanta software is already the correct version\n")) << u.Out();
  }
  {  // Blanks before the number; an answer cut off by the end of the input counts.
    UnknownType u("x \t2");
    EXPECT_EQ(u.Update(), 0);
    EXPECT_EQ(u.Count(question), 2u);
    EXPECT_EQ(u.session.Info().cardFamily, 2);
    // Taken for a Transmitter (of MCU type 3, whose software is not compared).
    EXPECT_TRUE(u.Has("2\nThis Corvanta unit contains a YELLOW PMODULE\n")) << u.Out();
    EXPECT_TRUE(u.Has("-- corvanta software is already the correct version\n"));
  }
  for (const char* keys : {"", "3\r", "0"}) {  // nobody left to answer
    SCOPED_TRACE(keys);
    UnknownType u(keys);
    EXPECT_EQ(u.Update(), 1);
    EXPECT_FALSE(u.Has("Fatal Error"));
    EXPECT_FALSE(u.LockLeft());
    EXPECT_FALSE(u.PortOpen());
    EXPECT_EQ(u.Model().Counters().commands.count(0x1011), 0u);
  }
}

TEST(UpdateQuestions, BootLoaderDecisionsAndTheirConsequences) {
  struct Case {
    uint8_t mcu, release;
    bool manufacturing, old;
    const char* shown;
  };
  constexpr const char* kOld =
      "Updating boot loader because it is older than the current version\n"
      "Updating corvatna software because the boot loader needs to be updated\n";
  constexpr const char* kBoth = "-- corvanta boot loader and software will be updated\n";
  constexpr const char* kCurrent = "-- corvanta software is already the correct version\n";
  const std::string oldWithFields = std::string(kOld) +
                                    "Updating manufacturing fields because the boot loader needs to be updated\n"
                                    "-- manufacturing fields will be updated\n" + kBoth;
  const std::string currentWithFields = std::string("-- manufacturing fields are already correct\n") + kCurrent;
  const std::string old = std::string(kOld) + kBoth;
  for (const Case c : {Case{2, 4, false, true, old.c_str()}, Case{2, 5, false, false, kCurrent},
                       Case{3, 8, true, true, oldWithFields.c_str()}, Case{3, 9, true, false, currentWithFields.c_str()},
                       Case{5, 1, false, false, kCurrent}}) {
    testing::FakeRun run;
    Context& ctx = run.ctx;
    ctx.settings.debugOn = true;
    ctx.settings.manufacturingMode = c.manufacturing;
    UnitInfo info;
    info.cardFamily = 1;
    info.mcuType = c.mcu;
    info.bootRelease = c.release;
    UpdateFlags flags;
    DecideBootLoaderAge(ctx, info, flags);
    ApplyConsequences(ctx, flags);
    PrintSummary(ctx, flags);
    EXPECT_EQ(flags.bootLoader, c.old);
    EXPECT_EQ(flags.software, c.old);
    EXPECT_EQ(flags.fields, c.old && c.manufacturing);
    EXPECT_EQ(run.console.Output(), c.shown);
  }
}

TEST(UpdateQuestions, SoftwareChecksAllReportTheirReason) {
  testing::FakeRun run;
  Context& ctx = run.ctx;
  ctx.settings.debugOn = true;
  UnitInfo info;
  info.cardFamily = 2;
  info.mcuType = 2;
  info.bootRelease = 3;
  info.bootFlags = 0x05;
  info.checksum = kTransmitterSmallChecksum;
  UpdateFlags flags;
  flags.largeEeprom = true;
  DecideSoftware(ctx, 510, info, flags);
  EXPECT_TRUE(flags.software);
  EXPECT_EQ(run.console.Output(),
            "Updating corvanta software because the checksum is different than the current version\n"
            "Updating corvanta software because there is no software in the unit\n"
            "Updating corvanta software because the FLASH check failed\n"
            "Updating corvanta software because the checksum is not available (old boot loader)\n");
  // Combinations the program carries no software for are not compared.
  info.cardFamily = 1;
  info.mcuType = 5;
  info.bootRelease = 9;
  info.bootFlags = 0x02;
  UpdateFlags none;
  DecideSoftware(ctx, 510, info, none);
  EXPECT_FALSE(none.software);
  EXPECT_FALSE(SoftwarePayload(info, false).has_value());
}

}  // namespace
}  // namespace corv
