// Failure paths of finding and reaching the unit, on virtual lines and virtual
// time: a reopen that the system refuses with an error of its own, an LPC chip
// that never completes its synchronisation, and a boot loader whose versions
// never come (the connection gives up after 20 rounds).
#include <gtest/gtest.h>

#include <cerrno>

#include "link/discovery.h"
#include "sim/virtual_unit.h"
#include "tests/link/link_rig.h"

namespace corv {
namespace {

using test::Rig;

using testing::Count;

TEST(LinkFailurePaths, ReopenRefusedWithASystemErrorNamesItsCodeAndText) {
  Rig rig;
  rig.UseCom(3);
  Link& link = rig.MakeLink();
  ASSERT_TRUE(link.ReopenPort(9600, false, Link::shortTimeoutMs));
  rig.console.ClearOutput();
  rig.driver.FailRate(3, 230400, EACCES, "Error: Permission denied");
  const uint32_t start = rig.clock.TickMs();
  try {
    link.ReopenPort(230400, false, Link::shortTimeoutMs);
    ADD_FAILURE() << "no way out";
  } catch (const RunExit& e) {
    EXPECT_EQ(e.status, 1);
  }
  // Twenty attempts 25 ms apart, each named with the system's code and text
  // (a detail line), then the fatal error with the text alone (a notice).
  EXPECT_EQ(Count(rig.Out(), "Error re-opening port: COM3:13:Error: Permission denied\n"), 20u) << rig.Out();
  EXPECT_NE(rig.Out().find("COM3:13:Error: Permission denied\nFatal Error: Error: Permission denied\n"),
            std::string::npos);
  EXPECT_EQ(Count(rig.Out(), "Fatal Error: "), 1u);
  EXPECT_GE(rig.clock.TickMs() - start, 19u * 25u);
  EXPECT_FALSE(link.PortOpen());

  // Without -d only the fatal error shows.
  Rig quiet;
  quiet.ctx.settings.debugOn = false;
  quiet.ctx.settings.yesToPrompts = true;
  quiet.driver.AddLine(3);
  quiet.ctx.settings.portNumber = 3;
  Link& other = quiet.MakeLink();
  ASSERT_TRUE(other.ReopenPort(9600, false, Link::shortTimeoutMs));
  quiet.driver.FailRate(3, 230400, EACCES, "Error: Permission denied");
  EXPECT_THROW(other.ReopenPort(230400, false, Link::shortTimeoutMs), RunExit);
  EXPECT_EQ(quiet.Out(), "Fatal Error: Error: Permission denied\n");
}

// An input/output error (errno 5, the number Windows gives a busy port) names
// the system's reason; it is never taken for a port held by another program.
TEST(LinkFailurePaths, InputOutputErrorIsNoBusyPort) {
  Rig rig;
  rig.ctx.settings.debugOn = false;
  rig.ctx.settings.yesToPrompts = true;
  rig.driver.AddLine(3);
  rig.driver.FailRate(3, 19200, EIO, "Error: Input/output error");
  rig.ctx.settings.portNumber = 3;
  Link& link = rig.MakeLink();
  EXPECT_THROW(OpenUnitPort(link), RunExit);
  EXPECT_EQ(rig.Out(), "Opening COM3\nFatal Error: COM3 ERROR:Error: Input/output error\n");

  // The same error on the saved port of a search.
  Rig search;
  search.ctx.settings.debugOn = false;
  search.machine.SavePort(3);
  search.driver.AddLine(3);
  search.driver.FailRate(3, 19200, EIO, "Error: Input/output error");
  Link& other = search.MakeLink();
  EXPECT_FALSE(SearchPorts(other));
  EXPECT_EQ(search.Out(),
            "Searching ports...\nUsing saved comm port number: COM3\nCOM3 ERROR: Error: Input/output error\n"
            "Using saved comm port number: COM3\nCOM3 ERROR: Error: Input/output error");
}

TEST(LinkFailurePaths, LpcChipThatNeverSynchronises) {
  Rig rig;
  rig.ctx.settings.debugOn = false;
  sim::UnitProfile p = sim::DefaultProfile();
  p.kind = sim::UnitKind::LpcIsp;
  p.rate = 115200;
  p.lpcSync = false;
  sim::VirtualUnit unit(rig.driver.AddLine(1), p);
  Link& link = rig.MakeLink();
  rig.ctx.settings.portNumber = 1;
  ASSERT_TRUE(link.LockAndOpenPort(Link::shortTimeoutMs));
  EXPECT_FALSE(ProbeUnit(link, true));
  // Notices both: on the console without -d.
  EXPECT_NE(rig.Out().find("-- LPC chip found\n-- synchronization failed\n"), std::string::npos) << rig.Out();
  EXPECT_FALSE(link.connected);
  EXPECT_NE(link.softwareMode, modeLpcIsp);
}

TEST(LinkFailurePaths, ConnectionGivesUpAfterTwentyRounds) {
  Rig rig;
  rig.ctx.settings.debugOn = false;
  sim::UnitProfile p = sim::DefaultProfile();
  p.version = 0;  // only the boot loader answers, all the time
  std::string error;
  ASSERT_TRUE(sim::ApplySetting(p, "unanswered", "0x1010:1", error)) << error;
  sim::VirtualUnit unit(rig.driver.AddLine(3), p);
  rig.ctx.settings.portNumber = 3;
  Link& link = rig.MakeLink();
  OpenUnitPort(link);
  ASSERT_TRUE(link.connected);
  rig.console.ClearOutput();
  EXPECT_FALSE(ConnectUnit(link));
  // The probe found the boot loader: the first round asks for the versions at
  // once, the other 19 catch the boot loader again first.
  EXPECT_EQ(Count(rig.Out(), "Attempting to connect to boot loader, please turn the unit power off and on now\n"), 19u)
      << rig.Out();
  EXPECT_EQ(Count(rig.Out(), "-- Found Unit (corvanta boot loader)\n"), 19u);
  EXPECT_EQ(unit.Model().Counters().commands.at(0x1010), 20u * 20u);  // 20 rounds of 20 requests
  EXPECT_FALSE(link.connected);
}

}  // namespace
}  // namespace corv
