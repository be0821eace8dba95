// The built CorvUpdater in manufacturing runs against CorvSim over a
// pseudo-terminal, driven by a parameter file: the fields decisions, the
// replaced serial number, Program false, and a pre-production board with the
// CorvBoot stand-in succeeding, failing and missing. Real time.
#include <sys/stat.h>

#include "sim/unit_data.h"
#include "update_e2e_rig.h"

namespace corv::e2e {
namespace {

std::string Job(uint32_t serial, const std::string& more = "", bool program = true) {
  return testing::ManufacturingJob(serial, program) + more;
}

// A manufacturing run that ended well: status 0, no key prompt, the unit
// running the carried software with the supplied fields.
void ExpectManufactured(Sandbox& box, const RunResult& r, uint32_t serial) {
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(r.Has("-- updating corvanta software (manufacturing)\nSerialNo=" + std::to_string(serial) + "\n"))
      << r.out;
  EXPECT_TRUE(r.Has("Success: all operations are complete\n"));
  EXPECT_FALSE(r.Has("Press Enter"));
  EXPECT_FALSE(box.LockLeft());
  auto s = box.State();
  EXPECT_EQ(s["mode"], "software");
  EXPECT_EQ(s["version"], "510");
  EXPECT_EQ(s["serial"], std::to_string(serial));
  EXPECT_EQ(s["fields"], FieldsHex(serial));
}

TEST(UpdateManufacturingE2E, FieldsDecisions) {
  {  // V4.00, same serial number: the fields by age, the software because of them.
    SCOPED_TRACE("V4.00, same serial number");
    Sandbox box(CurrentDisplayProfile() + "version=4.00\n");
    const std::string job = box.Job(Job(12345));
    RunResult r = box.Run({"-d", job});
    EXPECT_TRUE(r.Has("Updating manufacturing fields because the software is older than V4.40\n")) << r.out;
    EXPECT_TRUE(r.Has("-- manufacturing fields will be updated\n-- corvanta software will be updated\n"));
    EXPECT_FALSE(r.Has("Reading old fields"));
    ExpectManufactured(box, r, 12345);
    EXPECT_EQ(box.State()["checksum"], "0xCFD9091F");
    EXPECT_EQ(ReadFile(job).find("Message="), std::string::npos);
  }
  {  // V5.10 whose fields the unit finds equal: nothing to write.
    SCOPED_TRACE("V5.10 whose fields the unit finds equal");
    Sandbox box(CurrentDisplayProfile());
    const std::string job = box.Job(Job(12345));
    RunResult r = box.Run({"-d", job});
    EXPECT_TRUE(r.Has("-- manufacturing fields are already correct\n"
                      "-- corvanta software is already the correct version\n"))
        << r.out;
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(box.State()["flashBlocks"], "0");
  }
  {  // Program false.
    SCOPED_TRACE("Program false");
    Sandbox box("");
    const std::string job = box.Job(Job(12345, "", false));
    RunResult r = box.Run({job});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(r.Has("-- nothing to do\n"));
    EXPECT_FALSE(r.Has("SerialNo="));
    EXPECT_EQ(box.State()["version"], "490");
  }
}

TEST(UpdateManufacturingE2E, ReplacedSerialNumber) {
  const std::string question = "The unit already has serial number 12345, are you sure it should be replaced? (y/n)\n";
  {
    Sandbox box(CurrentDisplayProfile());
    const std::string job = box.Job(Job(54321));
    RunResult r = box.Run({"-y", job}, "n");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(r.Has(question)) << r.out;
    EXPECT_FALSE(r.Has("Fatal Error"));
    EXPECT_EQ(ReadFile(job).find("Message="), std::string::npos);
    EXPECT_FALSE(box.LockLeft());
    auto s = box.State();
    EXPECT_EQ(s["serial"], "12345");
    EXPECT_EQ(s["mode"], "software");
  }
  {
    Sandbox box(CurrentDisplayProfile());
    const std::string job = box.Job(Job(54321));
    RunResult r = box.Run({"-y", "-d", job}, "y");
    EXPECT_TRUE(r.Has(question + "Updating manufacturing fields because the new serial number is different\n"))
        << r.out;
    ExpectManufactured(box, r, 54321);
  }
}

TEST(UpdateManufacturingE2E, PreProductionBoardWithCorvBoot) {
  const std::string board = CurrentDisplayProfile() + "version=4.90\nbootFlags=0x82\n";
  {  // The stand-in installs the secured boot loader; the update goes on.
    SCOPED_TRACE("The stand-in installs the secured boot loader");
    Sandbox box(board);
    const std::string job = box.Job(Job(12345));
    RunResult r = box.Run({job});
    EXPECT_TRUE(r.Has("Updating with secured corvanta boot loader\n-- execute \"" + box.Dir() +
                      "/home/bin/CorvBoot\" COM1 -x -b9600 -uF0 -y\n"))
        << r.out;
    EXPECT_TRUE(r.Has("-- manufacturing fields will be updated\n-- corvanta software will be updated\n")) << r.out;
    ExpectManufactured(box, r, 12345);
    auto s = box.State();
    EXPECT_EQ(s["flags"], "2");
    EXPECT_EQ(s["release"], "9");
    // CorvBoot's lines are not the program's: they are not in its log.
    EXPECT_EQ(box.Log().find("-- execute"), std::string::npos);
  }
  {  // CorvBoot fails with status 3: the run ends with it, the port and lock given back.
    SCOPED_TRACE("CorvBoot fails with status 3");
    Sandbox box(board);
    const std::string script = box.Dir() + "/fail.sh";
    std::ofstream(script) << "#!/bin/sh\n[ -e \"" << box.Dir() << "/locks/lockCorvantaCommPort1\" ] && exit 9\nexit 3\n";
    chmod(script.c_str(), 0755);
    const std::string job = box.Job(Job(12345, "CorvBootEXE=" + script + "\r\n"));
    RunResult r = box.Run({job});
    EXPECT_EQ(r.status, 3) << r.out;
    EXPECT_TRUE(r.Has("CorvBoot returned an error: 3\n")) << r.out;
    EXPECT_FALSE(box.LockLeft());
    EXPECT_EQ(box.State()["flags"], "130");
  }
  {  // No CorvBoot in the home folder.
    SCOPED_TRACE("No CorvBoot in the home folder");
    Sandbox box(board);
    fs::remove(box.Dir() + "/home/bin/CorvBoot");
    const std::string job = box.Job(Job(12345));
    RunResult r = box.Run({job});
    const std::string message = "Cannot find CorvBoot in " + box.Dir() + "/home/bin";
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_TRUE(r.Has("Fatal Error: " + message + "\n")) << r.out;
    EXPECT_NE(ReadFile(job).find("Message=" + message + "\r\n"), std::string::npos);
    EXPECT_FALSE(box.LockLeft());
  }
}

}  // namespace
}  // namespace corv::e2e
