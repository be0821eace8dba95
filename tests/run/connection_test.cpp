// The start-up's connection step in process, on virtual lines and virtual
// time: the port search finds the virtual unit and the versions are read; with
// nothing answering on a named port the run ends through the fatal path with
// the port closed and its lock removed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "sim/virtual_line.h"
#include "run/program.h"
#include "sim/virtual_unit.h"
#include "tests/run/update_rig.h"

namespace corv {
namespace {

namespace fs = std::filesystem;

struct Bench : testing::ProgramBench {
  Bench() : ProgramBench("corv-conn") {}
};

TEST(Connection, SearchFindsTheUnitAndReadsItsVersions) {
  Bench b;
  sim::VirtualUnit unit(b.driver.AddLine(3), sim::DefaultProfile());
  std::ofstream(b.dir + "/job.ini", std::ios::binary) << "CorvManufacture=TRUE\r\n";
  EXPECT_EQ(b.Run({"-y", b.dir + "/job.ini"}), 0);
  const std::string& out = b.console.Output();
  EXPECT_NE(out.find("Searching ports...\nUsing CORVANTALOCKDIR=" + b.dir + "/locks\nProbing COM3\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find(".\n-- Found Unit (direct connection)\nConnecting to Corvanta unit...\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\n-- nothing to do\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("power off and on"), std::string::npos) << out;
  EXPECT_EQ(b.ctx.settings.portNumber, 3);
  EXPECT_FALSE(fs::exists(b.dir + "/locks/lockCorvantaCommPort3"));
  EXPECT_FALSE(b.driver.Line(3)->HostOpen());
}

TEST(Connection, NothingAnswersOnTheNamedPort) {
  Bench b;
  b.driver.AddLine(4);
  EXPECT_EQ(b.Run({"-y", "COM4"}), 1);
  const std::string& out = b.console.Output();
  EXPECT_NE(out.find("Opening COM4\nUsing CORVANTALOCKDIR="), std::string::npos) << out;
  EXPECT_NE(out.find("please turn the unit power off and on now\nAttempting to connect to boot loader at 115200"),
            std::string::npos);
  EXPECT_NE(out.find("Fatal Error: Unable to connect to Corvanta unit\n"), std::string::npos);
  EXPECT_GE(b.clock.TickMs(), 90000u);
  EXPECT_FALSE(fs::exists(b.dir + "/locks/lockCorvantaCommPort4"));
  EXPECT_FALSE(b.driver.Line(4)->HostOpen());
}

}  // namespace
}  // namespace corv
