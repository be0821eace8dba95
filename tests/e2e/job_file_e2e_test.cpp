// Parameter files as a Linux production line writes them, against the built
// CorvUpdater: a job file with LF line ends drives a manufacturing run against
// CorvSim, and a parameter file the program cannot read says which and why.
// Real time.
#include "sim/unit_data.h"
#include "update_e2e_rig.h"

namespace corv::e2e {
namespace {

// The job keys of a manufacturing run, each line ended by LF alone.
std::string LinuxJob(uint32_t serial, bool withKeysCrc = true) {
  return testing::ManufacturingJob(serial, true, "\n", withKeysCrc);
}

TEST(JobFileE2E, LinuxLineEndsGiveTheUnitItsNewSerialNumber) {
  Sandbox box("");
  const std::string text = LinuxJob(20001);
  const std::string job = box.Job(text);
  RunResult r = box.Run({job}, "y");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(r.Has("-- updating corvanta software (manufacturing)\nSerialNo=20001\n")) << r.out;
  EXPECT_TRUE(r.Has("The unit already has serial number 12345, are you sure it should be replaced? (y/n)\n"));
  EXPECT_TRUE(r.Has("Success: all operations are complete\n"));
  EXPECT_FALSE(box.LockLeft());
  auto s = box.State();
  EXPECT_EQ(s["mode"], "software");
  EXPECT_EQ(s["version"], "510");
  EXPECT_EQ(s["serial"], "20001");
  EXPECT_EQ(s["fields"], FieldsHex(20001));
  EXPECT_EQ(ReadFile(job), text);  // a good run leaves the job as it was
}

TEST(JobFileE2E, FatalMessageJoinsALinuxJobFile) {
  Sandbox box("");
  const std::string text = LinuxJob(20001, false);
  const std::string job = box.Job(text);
  RunResult r = box.Run({job});
  EXPECT_EQ(r.status, 2) << r.out;
  EXPECT_TRUE(r.Has("Fatal Error: Missing EncryptedSecretKeysCRC\n")) << r.out;
  // The job's own lines stay as they were; the message is a line of its own,
  // ended as they are.
  EXPECT_EQ(ReadFile(job), text + "Message=Missing EncryptedSecretKeysCRC\n");
  EXPECT_EQ(box.State()["serial"], "12345");
}

// A parameter file that is there but cannot be read stops the run before the
// log opens, naming the file and the reason.
TEST(JobFileE2E, UnreadableParameterFile) {
  Sandbox box("");
  const std::string folder = box.Dir() + "/job.ini";
  fs::create_directory(folder);
  RunResult r = box.Run({"-y", folder});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(r.Has("Fatal error: " + folder + ": Is a directory\n")) << r.out;
  EXPECT_FALSE(r.Has("LogFile = "));
  EXPECT_FALSE(fs::exists(box.Dir() + "/LogFiles"));
  EXPECT_FALSE(box.LockLeft());
}

}  // namespace
}  // namespace corv::e2e
