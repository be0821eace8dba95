// The link record's own operations on virtual lines: the wait for a busy port,
// reopening with its messages and retries, and the rate list (the lock file is
// port_lock_test.cpp's).
#include <gtest/gtest.h>

#include "tests/link/link_rig.h"

namespace corv {
namespace {

using test::Rig;

using testing::Contains;

TEST(LinkOpen, BusyPortIsWaitedForWithADotEach100ms) {
  Rig rig;
  rig.driver.AddLine(3);
  rig.driver.BusyUntil(3, 2000);
  rig.ctx.settings.portNumber = 3;
  Link& link = rig.MakeLink();
  ASSERT_TRUE(link.LockAndOpenPort(Link::shortTimeoutMs));
  EXPECT_EQ(rig.Out(), std::string(20, '.') + "\n");
  EXPECT_EQ(rig.clock.TickMs(), 2000u);

  // Held for good: 100 attempts, about 10 s, no line end.
  link.ClosePortAndUnlock();
  rig.console.ClearOutput();
  rig.driver.BusyUntil(3, 1000000);
  const uint32_t start = rig.clock.TickMs();
  EXPECT_FALSE(link.LockAndOpenPort(Link::shortTimeoutMs));
  EXPECT_EQ(rig.Out(), std::string(100, '.'));
  EXPECT_EQ(rig.clock.TickMs() - start, 9900u);
  EXPECT_EQ(OpenErrorCode(link.lastOpen), kErrorPortBusy);

  // Escape while waiting ends the run.
  rig.console.Press(27);
  EXPECT_THROW(link.LockAndOpenPort(Link::shortTimeoutMs), RunExit);
  EXPECT_TRUE(Contains(rig.Out(), "Fatal Error: Aborted\n"));
}

TEST(LinkReopen, MessagesRetriesAndRefusedRates) {
  Rig rig;
  rig.UseCom(3);
  Link& link = rig.MakeLink();
  ASSERT_TRUE(link.ReopenPort(9600, false, Link::shortTimeoutMs));
  ASSERT_TRUE(link.ReopenPort(38400, true, Link::longTimeoutMs));
  EXPECT_EQ(rig.Out(), "baud rate = 9600 (no parity) timeout=50ms\nbaud rate = 38400 (even parity) timeout=1000ms\n");
  EXPECT_EQ(rig.ctx.settings.baudRate, 38400);
  EXPECT_EQ(rig.ctx.settings.paritySetting, 1);

  // A refused rate: one message, false at once, the port still held.
  rig.console.ClearOutput();
  rig.driver.Inner().RefuseRate(3, 921600);
  EXPECT_FALSE(link.ReopenPort(921600, false, Link::shortTimeoutMs));
  EXPECT_EQ(rig.Out(), "Error re-opening port: COM3 does not support requested baud rate\n");
  EXPECT_TRUE(link.PortOpen());

  // A change the open port fails: its own error number and text, retried 25 ms
  // apart; EIO (5) is no busy port.
  OpenResult io;
  io.outcome = OpenOutcome::OtherError;
  io.systemError = EIO;
  io.errorText = "Error: Input/output error";
  OpenResult gone = io;
  gone.outcome = OpenOutcome::NotPresent;
  gone.systemError = ENODEV;
  gone.errorText = "Error: No such device";
  rig.driver.changeFailures = {io, gone};
  rig.console.ClearOutput();
  uint32_t start = rig.clock.TickMs();
  EXPECT_TRUE(link.ReopenPort(19200, false, Link::shortTimeoutMs));
  EXPECT_EQ(rig.Out(),
            "Error re-opening port: COM3:5:Error: Input/output error\n"
            "Error re-opening port: COM3 is not present on this computer\n"
            "baud rate = 19200 (no parity) timeout=50ms\n");
  EXPECT_EQ(rig.clock.TickMs() - start, 50u);

  // Failing for good: 20 attempts, then the fatal error with the system's text.
  rig.driver.changeFailures.assign(20, io);
  rig.console.ClearOutput();
  EXPECT_THROW(link.ReopenPort(9600, false, Link::shortTimeoutMs), RunExit);
  EXPECT_EQ(testing::Count(rig.Out(), "COM3:5:Error: Input/output error\n"), 20u);
  EXPECT_TRUE(Contains(rig.Out(), "Fatal Error: Error: Input/output error\n"));
  EXPECT_FALSE(link.PortOpen());

  // With no port open the reopen opens one. Busy for 100 ms: four attempts
  // 25 ms apart.
  rig.console.ClearOutput();
  rig.driver.BusyUntil(3, rig.clock.TickMs() + 100);
  EXPECT_TRUE(link.ReopenPort(19200, false, Link::shortTimeoutMs));
  EXPECT_EQ(rig.Out(),
            "Error re-opening port: COM3 is being used by another application\n"
                           "Error re-opening port: COM3 is being used by another application\n"
                           "Error re-opening port: COM3 is being used by another application\n"
                           "Error re-opening port: COM3 is being used by another application\n"
                           "baud rate = 19200 (no parity) timeout=50ms\n");

  // Another port number: the open port goes. Not there: 20 attempts, then the
  // fatal error with the system's text.
  rig.console.ClearOutput();
  rig.ctx.settings.portNumber = 9;
  EXPECT_THROW(link.ReopenPort(19200, false, Link::shortTimeoutMs), RunExit);
  EXPECT_FALSE(rig.driver.Inner().Line(3)->HostOpen());
  EXPECT_EQ(testing::Count(rig.Out(), "COM9 is not present on this computer\n"), 20u);
  EXPECT_TRUE(Contains(rig.Out(), "Fatal Error: Error: No such file or directory\n"));

  // A port number below 1 is not present, and a rate of 0 (-b abc) is refused,
  // without asking the driver.
  const int opens = rig.driver.opens;
  rig.ctx.settings.portNumber = 0;
  EXPECT_FALSE(link.LockAndOpenPort(Link::shortTimeoutMs));
  EXPECT_EQ(OpenErrorCode(link.lastOpen), kErrorNotPresent);
  rig.ctx.settings.portNumber = 3;
  rig.ctx.settings.baudRate = 0;
  EXPECT_FALSE(link.LockAndOpenPort(Link::shortTimeoutMs));
  EXPECT_EQ(OpenErrorCode(link.lastOpen), kErrorSettingRefused);
  EXPECT_EQ(rig.driver.opens, opens);
}

// From the first open to the last close the port is never let go: every reopen,
// rate step and return to the remembered rate changes the line of the open
// port, with the read time-out of the reopen.
TEST(LinkReopen, PortHeldAcrossEveryChange) {
  Rig rig;
  VirtualLine& line = rig.UseCom(3);
  Link& link = rig.MakeLink();
  ASSERT_TRUE(link.LockAndOpenPort(Link::shortTimeoutMs));
  ASSERT_EQ(rig.driver.opens, 1);
  SerialPort* const held = link.Port();
  link.RememberLineSettings();
  link.StepRate(Link::shortTimeoutMs);
  link.ReopenAtRememberedRate(Link::normalTimeoutMs);
  ASSERT_TRUE(link.ReopenPort(460800, true, Link::longTimeoutMs));
  EXPECT_EQ(line.HostBaud(), 460800);
  EXPECT_TRUE(line.HostParity());
  rig.driver.Inner().RefuseRate(3, 921600);
  EXPECT_FALSE(link.ReopenPort(921600, false, Link::normalTimeoutMs));
  ASSERT_TRUE(link.ReopenPort(115200, false, Link::longTimeoutMs));
  EXPECT_EQ(rig.driver.opens, 1);
  EXPECT_EQ(rig.driver.changes, 5);
  EXPECT_EQ(link.Port(), held);
  EXPECT_TRUE(line.HostOpen());
  // Meanwhile another program cannot have it.
  OpenResult other;
  EXPECT_FALSE(rig.driver.Inner().Open(3, {}, 0, other));
  EXPECT_EQ(other.outcome, OpenOutcome::Busy);

  // The reopen's read time-out is the one in force.
  uint8_t b;
  uint32_t start = rig.clock.TickMs();
  EXPECT_EQ(link.Port()->Receive(&b, 1), 0);
  EXPECT_EQ(rig.clock.TickMs() - start, 1000u);
  ASSERT_TRUE(link.ReopenPort(115200, false, Link::shortTimeoutMs));
  start = rig.clock.TickMs();
  EXPECT_EQ(link.Port()->Receive(&b, 1), 0);
  EXPECT_EQ(rig.clock.TickMs() - start, 50u);

  link.ClosePortAndUnlock();
  EXPECT_FALSE(line.HostOpen());
}

TEST(LinkRates, RememberStepAndLock) {
  Rig rig;
  rig.UseCom(3);
  Link& link = rig.MakeLink();
  EXPECT_EQ(link.rateIndex, 0);
  rig.ctx.settings.baudRate = 4800;  // not in the list: the index stays
  link.RememberLineSettings();
  EXPECT_EQ(link.rateIndex, 0);
  rig.ctx.settings.baudRate = 9600;
  rig.ctx.settings.paritySetting = 1;
  link.RememberLineSettings();
  EXPECT_EQ(link.rateIndex, 4);
  EXPECT_TRUE(link.rememberedParity);

  link.StepRate(Link::shortTimeoutMs);  // wraps to the first entry
  EXPECT_EQ(link.rateIndex, 0);
  EXPECT_EQ(rig.ctx.settings.baudRate, 115200);
  EXPECT_TRUE(Contains(rig.Out(), "baud rate = 115200 (even parity) timeout=50ms\n"));

  rig.ctx.settings.lockBaud = true;
  rig.console.ClearOutput();
  const int opens = rig.driver.opens;
  link.StepRate(Link::shortTimeoutMs);
  EXPECT_EQ(link.rateIndex, 0);
  EXPECT_EQ(rig.driver.opens, opens);
  EXPECT_EQ(rig.Out(), "");

  // A remembered rate the port refuses ends the run.
  rig.driver.Inner().RefuseRate(3, 115200);
  EXPECT_THROW(link.ReopenAtRememberedRate(Link::shortTimeoutMs), RunExit);
  EXPECT_TRUE(Contains(rig.Out(), "Fatal Error: Unable to change baudrate\n"));

  // In place: the line changes and becomes the current setting.
  ASSERT_TRUE(link.ReopenPort(19200, false, Link::shortTimeoutMs));
  EXPECT_TRUE(link.ChangeLineInPlace(57600, true));
  EXPECT_EQ(rig.ctx.settings.baudRate, 57600);
  EXPECT_EQ(rig.driver.Inner().Line(3)->HostBaud(), 57600);
  EXPECT_FALSE(link.ChangeLineInPlace(115200, false));
  EXPECT_EQ(rig.ctx.settings.baudRate, 57600);
}

}  // namespace
}  // namespace corv
