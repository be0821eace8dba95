// Manufacturing runs on virtual time, driven by a parameter file: the fields
// and serial-number decisions, the question before a serial number is
// replaced, Program false, and the pre-production board with CorvBoot (missing,
// failing, succeeding without effect, and succeeding through the session).
#include "link/discovery.h"
#include "link/packet.h"
#include "platform/conventions.h"
#include "run/boot_program.h"
#include "run/link_session.h"
#include "run/update_procedure.h"
#include "support/ini.h"
#include "tests/common/child_program.h"
#include "tests/common/system_names.h"
#include "update_rig.h"

namespace corv {
namespace {

using testing::CurrentDisplay;
using testing::ExitIfPresent;
using testing::ExitWith;
using testing::ManufacturingJob;
using testing::SendSecuredBootLoader;
using testing::Sep;
using testing::UpdateBench;
namespace fs = std::filesystem;

std::vector<uint8_t> FieldsOf(uint32_t serial) { return sim::MakeFieldsRecord(serial); }

TEST(UpdateManufacturing, FieldsDecisions) {
  {  // V4.00 with the same serial number: the fields are rewritten because of
    SCOPED_TRACE("V4.00 with the same serial number");
     // the version, which forces the software; no old-fields copy is made.
    sim::UnitProfile p = sim::DisplayMcu2Profile();
    p.version = 400;
    UpdateBench b(p);
    const std::string job = b.Job(ManufacturingJob(12345));
    EXPECT_EQ(b.Run({"-d", job, "COM3"}), 0) << b.Out();
    EXPECT_TRUE(b.Has("-- updating corvanta software (manufacturing)\nSerialNo=12345\n")) << b.Out();
    EXPECT_TRUE(b.Has("Updating manufacturing fields because the software is older than V4.40\n"));
    EXPECT_FALSE(b.Has("serial number is different"));
    EXPECT_TRUE(b.Has("Updating corvanta software because it is different than the current version\n"));
    EXPECT_TRUE(b.Has("-- manufacturing fields will be updated\n-- corvanta software will be updated\n"));
    EXPECT_EQ(b.Model().Counters().commands.count(0x1051), 0u);  // no old fields read
    EXPECT_EQ(b.Model().Counters().commands.count(0x1050), 0u);  // nor written back
    EXPECT_EQ(b.Model().Counters().commands.count(0x1052), 1u);  // the supplied record instead
    EXPECT_EQ(b.Model().Fields(), FieldsOf(12345));
    EXPECT_EQ(b.Model().Version(), kPayloadSoftwareVersion);
    EXPECT_EQ(b.Model().Checksum(), kDisplayMcu2Checksum);
    EXPECT_FALSE(b.Has("Press Enter"));  // no closing prompt in manufacturing mode
    EXPECT_EQ(ReadIniString(b.ctx, job, "Message"), "");
  }
  {  // V5.10 whose fields the unit finds equal, software current: nothing to do.
    SCOPED_TRACE("V5.10 whose fields the unit finds equal, software current");
    UpdateBench b(CurrentDisplay());
    const std::string job = b.Job(ManufacturingJob(12345));
    EXPECT_EQ(b.Run({"-d", job, "COM3"}), 0) << b.Out();
    EXPECT_TRUE(b.Has("-- manufacturing fields are already correct\n"
                      "-- corvanta software is already the correct version\n"))
        << b.Out();
    EXPECT_EQ(b.Model().Counters().commands.count(0x1019), 1u);
    EXPECT_EQ(b.Model().Counters().flashBlocks, 0u);
    EXPECT_EQ(b.Model().Counters().commands.count(0x1052), 0u);
    EXPECT_TRUE(b.Has("Success: all operations are complete\n"));
  }
  {  // -w in manufacturing mode writes the software and with it the fields.
    SCOPED_TRACE("-w in manufacturing mode writes the software and with it the fields");
    UpdateBench b(CurrentDisplay());
    const std::string job = b.Job(ManufacturingJob(12345));
    EXPECT_EQ(b.Run({"-d", "-w", job, "COM3"}), 0) << b.Out();
    EXPECT_TRUE(b.Has("Updating corvanta software because -w command line option specified\n"));
    EXPECT_TRUE(b.Has("-- manufacturing fields are already correct\n-- corvanta software will be updated\n"));
    EXPECT_EQ(b.Model().Counters().passes, 1u);
  }
  {  // Program false: connected, nothing done.
    SCOPED_TRACE("Program false: connected, nothing done");
    UpdateBench b(sim::DefaultProfile());
    const std::string job = b.Job(ManufacturingJob(12345, false));
    EXPECT_EQ(b.Run({job, "COM3"}), 0);
    EXPECT_TRUE(b.Has("-- nothing to do\n")) << b.Out();
    EXPECT_FALSE(b.Has("SerialNo="));
    EXPECT_EQ(b.Model().Counters().commands.count(0x1011), 0u);
    EXPECT_FALSE(b.LockLeft());
  }
}

TEST(UpdateManufacturing, ReplacedSerialNumberIsAskedEvenWithY) {
  const std::string question = "The unit already has serial number 12345, are you sure it should be replaced? (y/n)\n";
  {
    SCOPED_TRACE("a new serial number, declined");
    UpdateBench b(sim::DefaultProfile(), "n");
    const std::string job = b.Job(ManufacturingJob(54321));
    EXPECT_EQ(b.Run({"-y", job, "COM3"}), 1);
    EXPECT_TRUE(b.Has(question)) << b.Out();
    EXPECT_FALSE(b.Has("Fatal Error"));
    EXPECT_EQ(ReadIniString(b.ctx, job, "Message"), "");
    // Declined: the unit untouched, the port and its lock given back.
    EXPECT_EQ(b.Model().Counters().commands.count(0x1011), 0u);
    EXPECT_FALSE(b.LockLeft());
    EXPECT_FALSE(b.PortOpen());
    EXPECT_GE(b.console.Restores(), 1);
    EXPECT_EQ(b.Log().find(question.substr(0, 30)), std::string::npos);  // questions are not logged
  }
  {
    SCOPED_TRACE("a new serial number, accepted");
    UpdateBench b(sim::DefaultProfile(), "y");
    const std::string job = b.Job(ManufacturingJob(54321));
    EXPECT_EQ(b.Run({"-y", "-d", job, "COM3"}), 0) << b.Out();
    EXPECT_TRUE(b.Has(question + "Updating manufacturing fields because the new serial number is different\n"))
        << b.Out();
    EXPECT_EQ(b.Model().Serial(), 54321u);
    EXPECT_EQ(b.Model().Fields(), FieldsOf(54321));
    EXPECT_EQ(b.Model().Version(), kPayloadSoftwareVersion);
  }
  {  // A unit without a serial number is not asked about.
    SCOPED_TRACE("A unit without a serial number is not asked about");
    sim::UnitProfile p = sim::DefaultProfile();
    p.serial = 0;
    UpdateBench b(p);
    const std::string job = b.Job(ManufacturingJob(54321));
    EXPECT_EQ(b.Run({"-d", job, "COM3"}), 0) << b.Out();
    EXPECT_FALSE(b.Has("are you sure"));
    EXPECT_TRUE(b.Has("Serial number in the unit is empty\n"
                      "Updating manufacturing fields because the new serial number is different\n"));
    EXPECT_EQ(b.Model().Serial(), 54321u);
  }
  {  // A unit in its boot loader (no working software) gets the fields anyway.
    SCOPED_TRACE("A unit in its boot loader (no working software) gets the fields anyway");
    sim::UnitProfile p = sim::DefaultProfile();
    p.version = 0;
    p.bootFlags = 0x03;
    UpdateBench b(p);
    const std::string job = b.Job(ManufacturingJob(54321));
    EXPECT_EQ(b.Run({"-d", job, "COM3"}), 0) << b.Out();
    EXPECT_TRUE(b.Has("Updating manufacturing fields because the software is either not present or older than V2.20\n"));
    EXPECT_TRUE(b.Has("Updating corvanta software because it is different than the current version\n"));
    EXPECT_EQ(b.Model().Serial(), 54321u);
    EXPECT_EQ(b.Model().Version(), kPayloadSoftwareVersion);
  }
}

// A pre-production board and CorvBoot in the program's home folder.
struct PreProduction : UpdateBench {
  PreProduction() : UpdateBench(Board()) {}
  static sim::UnitProfile Board() {
    sim::UnitProfile p = sim::DefaultProfile();
    p.bootFlags = 0x82;
    return p;
  }
  std::string JobWithHome() { return Job(ManufacturingJob(12345) + "CorvantaHomeDir=" + dir + "/home\r\n"); }
  // The home folder's bin folder as the program names it.
  std::string HomeBin() const { return dir + "/home" + Sep() + "bin"; }
  void BootProgram(const std::vector<testing::ChildStep>& steps) {
    fs::create_directories(dir + "/home/bin");
    testing::MakeChildProgram(dir + "/home/bin/" + BootProgramFile(), steps);
  }
  std::string LockFile() const { return dir + "/locks/lockCorvantaCommPort3"; }
};

TEST(UpdateManufacturing, PreProductionBoardAndCorvBoot) {
  {
    SCOPED_TRACE("no CorvBoot in the home folder");
    PreProduction b;
    const std::string job = b.JobWithHome();
    EXPECT_EQ(b.Run({"-d", job, "COM3"}), 2);
    EXPECT_TRUE(b.Has("Updating with secured corvanta boot loader\nFatal Error: Cannot find CorvBoot in " + b.HomeBin() +
                      "\n"))
        << b.Out();
    EXPECT_EQ(ReadIniString(b.ctx, job, "Message"), "Cannot find CorvBoot in " + b.HomeBin());
    EXPECT_FALSE(b.LockLeft());
  }
  {  // CorvBoot fails: its status is the run's; it had the port to itself.
    SCOPED_TRACE("CorvBoot fails: its status is the run's; it had the port to itself");
    PreProduction b;
    b.BootProgram({ExitIfPresent(b.LockFile(), 9), ExitWith(3)});
    const std::string job = b.JobWithHome();
    EXPECT_EQ(b.Run({"-d", job, "COM3"}), 3);
    EXPECT_TRUE(b.Has("-- execute \"" + b.HomeBin() + Sep() + BootProgramFile() + "\" COM3 -x -b9600 -uF0 -d -y\n"))
        << b.Out();
    EXPECT_TRUE(b.Has("CorvBoot returned an error: 3\n"));
    EXPECT_FALSE(b.LockLeft());
    EXPECT_FALSE(b.PortOpen());
  }
  {  // CorvBoot says done but the board still carries its test software.
    SCOPED_TRACE("CorvBoot says done but the board still carries its test software");
    PreProduction b;
    b.BootProgram({ExitWith(0)});
    const std::string job = b.JobWithHome();
    EXPECT_EQ(b.Run({"-d", job, "COM3"}), 2);
    EXPECT_TRUE(b.Has("Fatal Error: Unable to update to secured boot loader\n")) << b.Out();
    // The port came back locked before it was reopened for the reboot.
    EXPECT_EQ(b.Count("Using CORVANTALOCKDIR="), 2u) << b.Out();
    EXPECT_EQ(b.Count("OK - rebooted to boot loader\n"), 2u);
    EXPECT_FALSE(b.LockLeft());
  }
}

TEST(UpdateManufacturing, SecuredBootLoaderThroughTheSession) {
  PreProduction b;
  b.BootProgram({ExitIfPresent(b.LockFile(), 9), ExitWith(0)});
  b.ctx.settings.parameterFile = b.JobWithHome();
  b.ctx.settings.lockFolder = b.dir + "/locks";
  b.ctx.settings.manufacturingMode = true;
  b.ctx.settings.portNumber = 3;
  b.ctx.settings.debugOn = true;
  b.ctx.settings.traceEnabled = true;
  LinkSession session(b.ctx, b.driver);
  OpenUnitPort(session.TheLink());
  ASSERT_TRUE(ConnectUnit(session.TheLink()));
  session.ReadExtendedInformation();
  const ManufacturingInput input = ReadManufacturingInput(b.ctx);
  // CorvBoot's work done on the line the session holds, then the real hand-over.
  UpdateTarget target{session.TheLink(), session.Info(), input.record, [&] {
                        ASSERT_TRUE(SendSecuredBootLoader(session.TheLink()));
                        InstallSecuredBootLoader(b.ctx, session);
                      }};
  RunUpdate(b.ctx, target, input.serialNumber, false);
  EXPECT_TRUE(b.Has("Updating with secured corvanta boot loader\n-- execute")) << b.Out();
  EXPECT_FALSE(b.Has("Fatal Error"));
  EXPECT_TRUE(b.Has("-- manufacturing fields will be updated\n-- corvanta software will be updated\n")) << b.Out();
  EXPECT_EQ(b.Model().Flags() & 0x80, 0);
  EXPECT_EQ(b.Model().Release(), 9);
  EXPECT_EQ(b.Model().Version(), kPayloadSoftwareVersion);
  EXPECT_EQ(b.Model().Fields(), FieldsOf(12345));
  EXPECT_TRUE(b.LockLeft());  // the session holds the port again, locked
  session.ClosePortAndUnlock();
  EXPECT_FALSE(b.LockLeft());
}

}  // namespace
}  // namespace corv
