// The update run's failure paths on a virtual unit that really fails (a command
// it ignores from its n-th request on, a result code it is made to answer):
// each fatal message on the notice stream of the console and the log, the exit
// status, the parameter file's Message= and what the unit holds afterwards; and
// the notices of the manufacturing-field results and the old-fields write-back,
// after which the run goes on.
#include <functional>

#include "link/discovery.h"
#include "link/packet.h"
#include "platform/conventions.h"
#include "run/boot_program.h"
#include "run/link_session.h"
#include "run/update_procedure.h"
#include "support/ini.h"
#include "tests/common/child_program.h"
#include "update_rig.h"

namespace corv {
namespace {

using testing::CurrentDisplay;
using testing::ManufacturingJob;
using testing::SendSecuredBootLoader;
using testing::UpdateBench;
namespace fs = std::filesystem;

enum class Base { Display3, Current, Display2, Transmitter };

sim::UnitProfile Profile(Base base, const std::string& text) {
  sim::UnitProfile p = base == Base::Current      ? CurrentDisplay()
                       : base == Base::Display2    ? sim::DisplayMcu2Profile()
                       : base == Base::Transmitter ? sim::TransmitterMcu2Profile(1)
                                                   : sim::DefaultProfile();
  std::string error;
  EXPECT_TRUE(sim::ParseProfile(p, text, error)) << error;
  return p;
}

// The line is in the log, which holds every stream.
bool Logged(UpdateBench& b, const std::string& line) { return b.Log().find(line + "\r\n") != std::string::npos; }

const sim::UnitModel& Unit(UpdateBench& b) { return b.Model(); }

TEST(FailurePaths, FatalErrorsOfTheUpdateRun) {
  struct Case {
    const char* name;
    Base base;
    const char* faults;       // profile lines
    uint32_t serial;          // 0: a plain parameter file, else a manufacturing job with this serial number
    const char* args;         // besides -y, the file and the port ("-v": verify)
    const char* message;
    std::function<void(UpdateBench&)> holds;  // what the unit holds afterwards
  };
  const auto untouched = [](UpdateBench& b) {
    EXPECT_EQ(Unit(b).Counters().flashBlocks, 0u);
    EXPECT_EQ(Unit(b).Version(), 490);
    EXPECT_EQ(Unit(b).Serial(), 12345u);
  };
  const Case cases[] = {
      {"fields check unanswered", Base::Display3, "unanswered=0x1019:1", 12345, "", "Unable to talk to unit",
       [&](UpdateBench& b) {
         untouched(b);
         EXPECT_EQ(Unit(b).Mode(), sim::UnitMode::Software);  // never left its software
       }},
      {"strings programmer not taken", Base::Transmitter, "unanswered=0x1020:1", 0, "",
       "Unable to download programmer",
       [](UpdateBench& b) {
         EXPECT_EQ(Unit(b).Mode(), sim::UnitMode::BootLoader);
         EXPECT_EQ(Unit(b).Counters().stringsBlocks, 0u);
       }},
      {"strings blocks unanswered", Base::Transmitter, "unanswered=0x1059:1", 0, "", "Unable to write new file",
       [](UpdateBench& b) {
         EXPECT_EQ(Unit(b).Mode(), sim::UnitMode::Programmer);
         EXPECT_EQ(Unit(b).StringsArea()[0], 0x00);  // the old header (size 64000) is still there
         EXPECT_EQ(Unit(b).Counters().flashBlocks, 0u);
       }},
      {"strings block refused", Base::Transmitter, "result=0x1059:0x10", 0, "", "Error writing to file:10",
       [](UpdateBench& b) {
         EXPECT_EQ(Unit(b).Counters().commands.at(0x1059), 1u);  // the first refusal ends the run
         EXPECT_EQ(Unit(b).StringsArea()[0], 0x00);
       }},
      {"flash programmer not taken", Base::Display3, "unanswered=0x1020:1", 0, "",
       "Unable to download flash programmer",
       [&](UpdateBench& b) {
         untouched(b);
         EXPECT_EQ(Unit(b).Mode(), sim::UnitMode::BootLoader);
       }},
      {"rate setting unanswered", Base::Display3, "unanswered=0x1090:1", 0, "", "Unable to change baud rate",
       [&](UpdateBench& b) {
         untouched(b);
         EXPECT_EQ(Unit(b).Mode(), sim::UnitMode::BootLoader);
         EXPECT_EQ(Unit(b).Counters().commands.count(0x1020), 0u);  // no programmer sent
       }},
      {"reset programmer unanswered", Base::Display3, "unanswered=0x1033:1", 0, "",
       "Unable to reset flash programmer",
       [](UpdateBench& b) {
         EXPECT_EQ(Unit(b).Mode(), sim::UnitMode::Programmer);
         EXPECT_GT(Unit(b).Counters().flashBlocks, 0u);
         EXPECT_EQ(Unit(b).Counters().passes, 0u);  // the pass never ended
       }},
      {"fields update unanswered", Base::Display3, "unanswered=0x1052:1", 54321, "", "Unable to write to flash memory",
       [](UpdateBench& b) {
         EXPECT_EQ(Unit(b).Version(), kPayloadSoftwareVersion);  // the software went in first
         EXPECT_EQ(Unit(b).Serial(), 12345u);                    // the new record did not
       }},
      {"fields preserve unanswered", Base::Display3, "unanswered=0x1053:1", 0, "", "Unable to write to flash memory",
       [](UpdateBench& b) {
         EXPECT_EQ(Unit(b).Version(), kPayloadSoftwareVersion);
         EXPECT_EQ(Unit(b).Serial(), 12345u);
       }},
      {"old fields unreadable", Base::Display2, "unanswered=0x1051:1", 0, "", "Unable to read from flash memory",
       [](UpdateBench& b) {
         EXPECT_EQ(Unit(b).Counters().flashBlocks, 0u);  // nothing erased before the copy was made
         EXPECT_EQ(Unit(b).Serial(), 12345u);
         EXPECT_EQ(Unit(b).Mode(), sim::UnitMode::Programmer);
       }},
      {"images file never created", Base::Current, "file40=none\nunanswered=0x1070:1", 0, "",
       "Unable to send images file",
       [](UpdateBench& b) {
         EXPECT_EQ(Unit(b).Files().count(kImagesFileNumber), 0u);
         EXPECT_EQ(Unit(b).Counters().fileBlocks, 0u);
       }},
      {"font file never created", Base::Display3, "unanswered=0x1070:2", 0, "", "Unable to send font file",
       [](UpdateBench& b) {
         EXPECT_EQ(Unit(b).Files().size(), 1u);  // the images file went in whole
         EXPECT_EQ(Unit(b).Files().at(kImagesFileNumber).size(), ImagesFile().length);
       }},
      {"create refused", Base::Display3, "result=0x1070:4", 0, "", "Error creating file:04",
       [](UpdateBench& b) { EXPECT_TRUE(Unit(b).Files().empty()); }},
      {"file block refused", Base::Display3, "result=0x1071:3", 0, "", "Error writing to file:03",
       [](UpdateBench& b) {
         ASSERT_EQ(Unit(b).Files().count(kImagesFileNumber), 1u);
         EXPECT_TRUE(Unit(b).Files().at(kImagesFileNumber).empty());
         EXPECT_EQ(Unit(b).Counters().fileBlocks, 1u);
       }},
      {"close refused", Base::Display3, "result=0x1080:7", 0, "", "Error closing file:07",
       [](UpdateBench& b) {
         EXPECT_EQ(Unit(b).Files().size(), 1u);
         EXPECT_EQ(Unit(b).Files().at(kImagesFileNumber).size(), ImagesFile().length);
       }},
      {"open for verifying refused", Base::Display3, "result=0x1060:5", 0, "-v", "Error opening file:05",
       [](UpdateBench& b) {
         EXPECT_EQ(Unit(b).Files().size(), 1u);  // written and closed, never read back
         EXPECT_EQ(Unit(b).Counters().commands.at(0x1080), 1u);
       }},
      {"reset unit never happens", Base::Current, "unanswered=0x1032:1", 0, "", "Unable to reset unit",
       [](UpdateBench& b) {
         EXPECT_EQ(Unit(b).Mode(), sim::UnitMode::Programmer);  // the unit never restarted
         EXPECT_EQ(Unit(b).Counters().flashBlocks, 0u);
       }},
      {"unit silent from the reset on", Base::Current, "hangAt=0x1032:1", 0, "", "Unable to reset unit",
       [](UpdateBench& b) {
         // Told by the software not answering: no search for the unit follows.
         const std::string log = b.Log();
         const size_t reset = log.find("Sending reset command to unit");
         ASSERT_NE(reset, std::string::npos);
         EXPECT_EQ(log.find("Searching for unit ID", reset), std::string::npos) << log.substr(reset);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UpdateBench b(Profile(c.base, c.faults), "y");
    const std::string job = b.Job(c.serial != 0 ? ManufacturingJob(c.serial) : "Program=TRUE\r\n");
    std::vector<std::string> args = {"-y", job, "COM3"};
    if (*c.args) args.insert(args.begin(), c.args);
    EXPECT_EQ(b.Run(args), 2) << b.Out();
    const std::string line = std::string("Fatal Error: ") + c.message;
    EXPECT_TRUE(b.Has("\n" + line + "\n")) << b.Out();  // the notice stream: on the console without -d
    EXPECT_EQ(b.Count("Fatal Error: "), 1u);
    EXPECT_TRUE(Logged(b, line));
    EXPECT_FALSE(b.Has("Success"));
    EXPECT_EQ(ReadIniString(b.ctx, job, "Message"), c.message);
    EXPECT_FALSE(b.LockLeft());
    EXPECT_FALSE(b.PortOpen());
    c.holds(b);
  }
}

TEST(FailurePaths, WithoutAParameterFileTheStatusIsOne) {
  UpdateBench b(Profile(Base::Current, "unanswered=0x1032:1"));
  EXPECT_EQ(b.Run({"-y", "COM3"}), 1);
  EXPECT_TRUE(b.Has("\nFatal Error: Unable to reset unit\n")) << b.Out();
  EXPECT_FALSE(b.LockLeft());
}

// Results the run reports and goes on from.
TEST(FailurePaths, FieldResultsAndOldFieldsWriteBackAreReportedAndTheRunGoesOn) {
  struct Case {
    const char* name;
    Base base;
    const char* faults;
    uint32_t serial;  // 0: a plain update
    const char* line;
    bool notice;      // else a detail: in the log, on the console only with -d
    uint32_t serialAfter;
  };
  const Case cases[] = {
      {"update result 1", Base::Display3, "fieldsUpdate=1", 54321, "-- could not update manufacturing fields (main)",
       true, 12345},
      {"update result 2", Base::Display3, "fieldsUpdate=2", 54321,
       "-- could not update manufacturing fields (secondary)", true, 12345},
      {"update result 9", Base::Display3, "fieldsUpdate=9", 54321,
       "-- manufacturing fields could not be updated in flash (code=9)", true, 12345},
      {"preserve result 1", Base::Display3, "fieldsPreserve=1", 0, "-- legacy manufacturing fields found", true,
       12345},
      {"preserve result 2", Base::Display3, "fieldsPreserve=2", 0, "-- manufacturing fields updated in flash", true,
       12345},
      {"preserve result 9", Base::Display3, "fieldsPreserve=9", 0,
       "-- manufacturing fields could not be updated in flash (code=9)", true, 12345},
      // The write-back refused: the rewrite erased the area, so the unit keeps no serial number.
      {"old fields write refused", Base::Display2, "result=0x1050:2", 0, "Error:02", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UpdateBench b(Profile(c.base, c.faults), "y");
    const std::string job = b.Job(c.serial != 0 ? ManufacturingJob(c.serial) : "Program=TRUE\r\n");
    EXPECT_EQ(b.Run({"-y", job, "COM3"}), 0) << b.Out();
    EXPECT_EQ(b.Has("\n" + std::string(c.line) + "\n"), c.notice) << b.Out();
    EXPECT_TRUE(Logged(b, c.line)) << b.Log();
    EXPECT_TRUE(b.Has("Success: all operations are complete\n"));
    EXPECT_EQ(ReadIniString(b.ctx, job, "Message"), "");
    EXPECT_EQ(Unit(b).Version(), kPayloadSoftwareVersion);
    EXPECT_EQ(Unit(b).Mode(), sim::UnitMode::Software);
    EXPECT_EQ(Unit(b).Serial(), c.serialAfter);
  }
  // The preserve that follows the refused write-back finds no valid fields.
  UpdateBench b(Profile(Base::Display2, "result=0x1050:2"));
  EXPECT_EQ(b.Run({"-y", "-d", "COM3"}), 0);
  EXPECT_TRUE(b.Has("Writing $00000200 (128)\nError:02\nOK - old fields have been written\n")) << b.Out();
  EXPECT_TRUE(b.Has("-- manufacturing fields could not be updated in flash (code=3)\n"));
}

// A pre-production board in manufacturing mode, its CorvBoot work done on the
// line the session holds, and an update run called as the program calls it.
struct SessionRun : UpdateBench {
  explicit SessionRun(const sim::UnitProfile& p) : UpdateBench(p) {
    fs::create_directories(dir + "/home/bin");
    testing::MakeChildProgram(dir + "/home/bin/" + BootProgramFile(), {testing::ExitWith(0)});
    ctx.settings.parameterFile = Job(ManufacturingJob(12345) + "CorvantaHomeDir=" + dir + "/home\r\n");
    ctx.settings.manufacturingMode = true;
    ctx.settings.portNumber = 3;
    ctx.settings.traceEnabled = true;
    ctx.settings.debugOn = true;
  }
  void Update(int32_t newSerial) {
    try {
      UpdateWith(newSerial);
    } catch (const RunExit& e) {
      ADD_FAILURE() << "exit " << e.status << "\n" << Out();
    }
  }
  void UpdateWith(int32_t newSerial) {
    UpdateWith(newSerial, [](LinkSession&) {});
  }
  // `afterInstall` stands for what the secured boot loader leaves behind.
  void UpdateWith(int32_t newSerial, const std::function<void(LinkSession&)>& afterInstall) {
    LinkSession session(ctx, driver);
    OpenUnitPort(session.TheLink());
    ASSERT_TRUE(ConnectUnit(session.TheLink()));
    session.ReadExtendedInformation();
    const ManufacturingInput input = ReadManufacturingInput(ctx);
    UpdateTarget target{session.TheLink(), session.Info(), input.record, [&] {
                          ASSERT_TRUE(SendSecuredBootLoader(session.TheLink()));
                          InstallSecuredBootLoader(ctx, session);
                          afterInstall(session);
                        }};
    RunUpdate(ctx, target, newSerial, false);
    session.ClosePortAndUnlock();
  }
  // 0 when the update finished, else the status the run ended with.
  int Status(int32_t newSerial, const std::function<void(LinkSession&)>& afterInstall) {
    try {
      UpdateWith(newSerial, afterInstall);
    } catch (const RunExit& e) {
      return e.status;
    }
    return 0;
  }
};

// The checks the update makes after the secured boot loader is installed, for a
// boot loader that comes back otherwise than the installer promises: not in its
// own mode (noted, and the update goes on), or of a version that has no strings
// programmer (the run ends).
TEST(FailurePaths, SecuredBootLoaderThatComesBackOtherwise) {
  SessionRun modeLost(Profile(Base::Display3, "bootFlags=0x82\nsecureBootRelease=8\n"));
  EXPECT_EQ(modeLost.Status(12345, [](LinkSession& s) { s.TheLink().softwareMode = modeUnknown; }), 0)
      << modeLost.Out();
  EXPECT_TRUE(modeLost.Has("  Boot loader:  v3 r8\n"
                           "  MCU Type:     3\n"
                           "  Checksum:     1A2B3C4D\n"
                           "-- Software mode of unit is not modeCorvantaBootLoader\n"
                           "Updating boot loader because it is older than the current version\n"))
      << modeLost.Out();
  EXPECT_EQ(modeLost.Model().Version(), 510);

  sim::UnitProfile transmitter = Profile(Base::Transmitter, "bootFlags=0x82\n");
  SessionRun noStrings(transmitter);
  EXPECT_EQ(noStrings.Status(12345, [](LinkSession& s) { s.Info().stringsProgrammer.reset(); }), 2);
  EXPECT_TRUE(noStrings.Has("Fatal Error: Cannot update strings in this unit\n")) << noStrings.Out();
  EXPECT_EQ(ReadIniString(noStrings.ctx, noStrings.ctx.settings.parameterFile, "Message"),
            "Cannot update strings in this unit");
  EXPECT_EQ(noStrings.Model().Counters().flashBlocks, 0u);
  EXPECT_EQ(noStrings.Model().Version(), 490);
}

TEST(FailurePaths, SecuredBootLoaderWithAnOldReleaseHasItsBootLoaderRewritten) {
  SessionRun b(Profile(Base::Display3, "bootFlags=0x82\nsecureBootRelease=8"));
  b.Update(12345);
  EXPECT_TRUE(b.Has("Updating boot loader because it is older than the current version\n")) << b.Out();
  EXPECT_TRUE(b.Has("-- corvanta boot loader and software will be updated\n")) << b.Out();
  EXPECT_TRUE(b.Has("\nPreparing to update Boot Loader...\n"));
  EXPECT_FALSE(b.Has("Fatal Error"));
  // The boot-loader pass, then the software pass.
  EXPECT_EQ(b.Model().Counters().passes, 2u);
  EXPECT_EQ(b.Model().Release(), 9);
  EXPECT_EQ(b.Model().Flags() & 0x80, 0);
  EXPECT_EQ(b.Model().Version(), kPayloadSoftwareVersion);
  EXPECT_EQ(b.Model().Checksum(), kDisplayMcu3Checksum);
  EXPECT_EQ(b.Model().Serial(), 12345u);
}

TEST(FailurePaths, EmptyNewSerialNumberIsReported) {
  // The command line refuses a job without a serial number ("Missing SerialNo")
  // before the run starts; the update itself still names an empty one.
  SessionRun b(Profile(Base::Display3, ""));
  b.Update(0);
  EXPECT_TRUE(b.Has("\nNew serial number is empty\n")) << b.Out();
  EXPECT_FALSE(b.Has("Serial number in the unit is empty"));
  EXPECT_TRUE(b.Has("Updating manufacturing fields because the new serial number is different\n"));
  // The unit's own comparison of the job's record then decides.
  EXPECT_TRUE(b.Has("-- manufacturing fields in unit are correct (no update needed)\n"));
  EXPECT_FALSE(b.Has("Fatal Error"));
  EXPECT_EQ(b.Model().Serial(), 12345u);
}

}  // namespace
}  // namespace corv
