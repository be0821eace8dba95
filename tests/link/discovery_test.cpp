// Finding and reaching the unit on virtual lines with the virtual unit, on
// virtual time: the probe's order and its address search, the port search with
// its reporting, the opening of a named port, the connection with its power
// cycles, the reconnection, and Escape.
#include "link/discovery.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "sim/virtual_unit.h"
#include "tests/common/frames.h"
#include "tests/link/link_rig.h"

namespace corv {
namespace {

namespace fs = std::filesystem;
using test::Rig;

using testing::Contains;
using testing::Count;

sim::UnitProfile Software(uint8_t address, int32_t rate) {
  sim::UnitProfile p = sim::DefaultProfile();
  p.address = address;
  p.rate = rate;
  return p;
}

sim::UnitProfile Kind(sim::UnitKind kind, int32_t rate) {
  sim::UnitProfile p = sim::DefaultProfile();
  p.kind = kind;
  p.rate = rate;
  return p;
}

// Answers the quick response at 240 (19200, no parity) and nothing else.
class QuickOnlyUnit : public LineEnd {
 public:
  void OnByte(VirtualLine& line, uint64_t atUs, uint8_t byte) override {
    got_.push_back(byte);
    if (got_.size() > 4) got_.erase(got_.begin());
    if (got_ == testing::Framed({0xF0, 0x41})) {
      const std::vector<uint8_t> reply = testing::Framed({0xF0, 0x42});
      line.FarSend(atUs + 200, reply.data(), reply.size());
      got_.clear();
    }
  }

 private:
  std::vector<uint8_t> got_;
};

TEST(Discovery, SavedPortFoundLineForLine) {
  Rig rig;
  rig.machine.SavePort(3);
  sim::VirtualUnit unit(rig.driver.AddLine(3), Software(240, 57600));
  Link& link = rig.MakeLink();
  ASSERT_TRUE(SearchPorts(link));
  const std::vector<std::string> expected = {
      "Searching ports...",
      "Using saved comm port number: COM3",
      "Probing COM3",
      "Checking for LPC chip",
      "baud rate = 115200 (no parity) timeout=100ms",
      "Checking for modem",
      "baud rate = 9600 (no parity) timeout=100ms",
      "Searching for unit ID...",
      "Sending boot loader response request",
      "baud rate = 9600 (no parity) timeout=100ms",
      "baud rate = 115200 (no parity) timeout=100ms",
      "Sending quick response request",
      "baud rate = 19200 (no parity) timeout=50ms",
      "Unit ID=F0",
      ".",
      "baud rate = 9600 (no parity) timeout=50ms",
      "baud rate = 115200 (no parity) timeout=50ms",
      "baud rate = 57600 (no parity) timeout=50ms",
      "",
      "-- Found Unit (direct connection)",
      "",
  };
  EXPECT_EQ(rig.Lines(), expected);
  EXPECT_EQ(rig.driver.RatesOf({0xF0, 0x41}), (std::vector<int32_t>{19200, 9600, 115200, 57600}));
  EXPECT_EQ(rig.driver.RatesOf({0x01, 0x45, 0x10, 0x12}), (std::vector<int32_t>{9600, 115200}));
  EXPECT_EQ(rig.driver.RatesOf({'?'}), (std::vector<int32_t>{115200}));
  EXPECT_EQ(rig.driver.RatesOf({'A', 'T', '\r'}), (std::vector<int32_t>{9600}));
  EXPECT_EQ(rig.ctx.settings.portNumber, 3);
  EXPECT_EQ(link.unitId, 240);
  EXPECT_EQ(link.softwareMode, modeCorvantaSoftware);
  EXPECT_TRUE(link.connected);
  EXPECT_EQ(Link::rateTable[link.rateIndex], 57600);

  // The connection reads the versions at the rate found.
  ASSERT_TRUE(ConnectUnit(link));
  EXPECT_EQ(link.versions.cardNumber, sim::DefaultProfile().card);
  EXPECT_EQ(link.versions.softwareVersion, 490);
  EXPECT_TRUE(Contains(rig.Out(), "Connecting to Corvanta unit...\nbaud rate = 57600 (no parity) timeout=1000ms\n"
                                  "Sending version request\nOK - got versions\n"));
}

TEST(Discovery, AddressSearch) {
  {  // -l: every quick response request at the rate the search started at.
    SCOPED_TRACE("-l: every quick response request at the rate the search started at");
    Rig rig;
    rig.ctx.settings.lockBaud = true;
    rig.ctx.settings.baudRate = 57600;
    rig.driver.AddLine(1);
    Link& link = rig.MakeLink();
    EXPECT_FALSE(SearchPorts(link));
    EXPECT_EQ(rig.driver.RatesOf({0xF0, 0x41}), std::vector<int32_t>(10, 19200));
    EXPECT_EQ(rig.driver.RatesOf({0x01, 0x41}), std::vector<int32_t>(10, 19200));
    EXPECT_EQ(rig.driver.RatesOf({0x21, 0x41}), std::vector<int32_t>(5, 19200));
  }
  {  // Quick probe: 240 and 1, five attempts each, no line end after the dots.
    SCOPED_TRACE("Quick probe: 240 and 1, five attempts each, no line end after the dots");
    Rig rig;
    rig.driver.AddLine(1);
    Link& link = rig.MakeLink();
    rig.ctx.settings.portNumber = 1;
    ASSERT_TRUE(link.LockAndOpenPort(Link::shortTimeoutMs));
    EXPECT_FALSE(ProbeUnit(link, false));
    std::vector<int> expected(5, 240);
    expected.insert(expected.end(), 5, 1);
    EXPECT_EQ(rig.driver.QuickAddresses(), expected);
    rig.ctx.settings.debugOn = false;
    rig.console.ClearOutput();
    rig.driver.sent.clear();
    EXPECT_FALSE(ProbeUnit(link, false));
    EXPECT_EQ(rig.Out(), "Searching for unit ID...\n..");

    // Full probe: on to 33, then a line end.
    rig.console.ClearOutput();
    rig.driver.sent.clear();
    EXPECT_FALSE(ProbeUnit(link, true));
    expected = std::vector<int>(5, 240);
    for (int a = 1; a <= 33; ++a) expected.insert(expected.end(), 5, a);
    EXPECT_EQ(rig.driver.QuickAddresses(), expected);
    // The quick probe left its marks' line open: this one starts below it.
    EXPECT_EQ(rig.Out(), "\nSearching for unit ID...\n" + std::string(34, '.') + "\n");

    // In manufacturing mode the full probe stops after address 1.
    rig.ctx.settings.manufacturingMode = true;
    rig.driver.sent.clear();
    EXPECT_FALSE(ProbeUnit(link, true));
    EXPECT_EQ(rig.driver.QuickAddresses().size(), 10u);
  }
  {  // A unit at address 7 answers the full probe.
    SCOPED_TRACE("A unit at address 7 answers the full probe");
    Rig rig;
    sim::VirtualUnit unit(rig.driver.AddLine(2), Software(7, 38400));
    Link& link = rig.MakeLink();
    rig.ctx.settings.portNumber = 2;
    ASSERT_TRUE(link.LockAndOpenPort(Link::shortTimeoutMs));
    EXPECT_FALSE(ProbeUnit(link, false));
    ASSERT_TRUE(ProbeUnit(link, true));
    EXPECT_EQ(link.unitId, 7);
    EXPECT_TRUE(Contains(rig.Out(), "Unit ID=07\n"));
    EXPECT_TRUE(Contains(rig.Out(), "\n-- Found Unit ID = 07\n"));
    EXPECT_EQ(rig.ctx.settings.baudRate, 38400);
  }
}

TEST(Discovery, UnitIdGiven) {
  {  // -u7: the boot loader at 9600, then address 7 at the remembered rate, first of all,
     // also after the search of COM1 moved the address.
    Rig rig;
    rig.ctx.settings.unitIdGiven = true;
    rig.ctx.settings.requestedUnitId = 7;
    rig.driver.AddLine(1);
    sim::VirtualUnit unit(rig.driver.AddLine(2), Software(7, 19200));
    Link& link = rig.MakeLink();
    ASSERT_TRUE(SearchPorts(link));
    EXPECT_TRUE(Contains(rig.Out(), "Probing COM2\nChecking Unit ID...\nbaud rate = 9600 (no parity) timeout=100ms\n"
                                    "Sending boot loader response request\nbaud rate = 19200 (no parity) timeout=100ms\n"
                                    "Sending quick response request\nOK - got quick response request\n"
                                    "-- Found Unit ID = 07\n"));
    EXPECT_EQ(rig.ctx.settings.portNumber, 2);
    EXPECT_EQ(link.softwareMode, modeCorvantaSoftware);
  }
  {  // Nothing at the address: 200 cycles at 9600 and 115200, then the usual probe.
    Rig rig;
    rig.ctx.settings.debugOn = false;
    rig.ctx.settings.unitIdGiven = true;
    rig.ctx.settings.requestedUnitId = 7;
    rig.driver.AddLine(2);
    Link& link = rig.MakeLink();
    rig.ctx.settings.portNumber = 2;
    ASSERT_TRUE(link.LockAndOpenPort(Link::shortTimeoutMs));
    EXPECT_FALSE(ProbeUnit(link, false));
    EXPECT_EQ(rig.driver.RatesOf({0x07, 0x41}).size(), 200u);
    const std::vector<int32_t> boot = rig.driver.RatesOf({0x01, 0x45, 0x10, 0x12});
    ASSERT_EQ(boot.size(), 202u);
    EXPECT_EQ(boot[1], 115200);
    EXPECT_EQ(rig.driver.sent[400].bytes, std::vector<uint8_t>{'?'});
    EXPECT_EQ(rig.Out(), "Searching for unit ID...\n..");
  }
}

TEST(Discovery, WhatElseAnswers) {
  {  // A unit in its boot loader at 115200 (no working software).
    SCOPED_TRACE("A unit in its boot loader at 115200 (no working software)");
    Rig rig;
    sim::UnitProfile p = sim::DefaultProfile();
    p.version = 0;
    p.bootRate = 115200;
    sim::VirtualUnit unit(rig.driver.AddLine(1), p);
    Link& link = rig.MakeLink();
    rig.ctx.settings.portNumber = 1;
    ASSERT_TRUE(link.LockAndOpenPort(Link::shortTimeoutMs));
    ASSERT_TRUE(ProbeUnit(link, false));
    EXPECT_EQ(link.softwareMode, modeCorvantaBootLoader);
    EXPECT_EQ(link.unitId, 1);
    EXPECT_EQ(Link::rateTable[link.rateIndex], 115200);
    EXPECT_EQ(link.bootVersionByte, (p.mcu << 4) | p.bootVersion);
    EXPECT_TRUE(Contains(rig.Out(), "OK - Got boot loader response\n\n-- Found Unit (corvanta boot loader)\n"));
    // Its versions come from the boot address.
    ASSERT_TRUE(ConnectUnit(link));
    EXPECT_EQ(link.versions.softwareVersion, 0);
  }
  {  // The processor's own ISP boot loader.
    SCOPED_TRACE("The processor's own ISP boot loader");
    Rig rig;
    sim::VirtualUnit unit(rig.driver.AddLine(1), Kind(sim::UnitKind::LpcIsp, 115200));
    Link& link = rig.MakeLink();
    rig.ctx.settings.portNumber = 1;
    ASSERT_TRUE(link.LockAndOpenPort(Link::shortTimeoutMs));
    ASSERT_TRUE(ProbeUnit(link, true));
    EXPECT_EQ(link.softwareMode, modeLpcIsp);
    EXPECT_TRUE(link.connected);
    EXPECT_TRUE(Contains(rig.Out(), "-- LPC chip found\n"));
  }
  {  // A modem on COM1 is skipped; the unit on COM2 is found.
    SCOPED_TRACE("A modem on COM1 is skipped");
    Rig rig;
    sim::VirtualUnit modem(rig.driver.AddLine(1), Kind(sim::UnitKind::Modem, 9600));
    sim::VirtualUnit unit(rig.driver.AddLine(2), sim::DefaultProfile());
    Link& link = rig.MakeLink();
    ASSERT_TRUE(SearchPorts(link));
    EXPECT_TRUE(Contains(rig.Out(), "Probing COM1\nChecking for LPC chip\nbaud rate = 115200 (no parity) timeout=100ms\n"
                                    "Checking for modem\nbaud rate = 9600 (no parity) timeout=100ms\n"
                                    "-- Modem found\nProbing COM2\n"));
    EXPECT_EQ(rig.ctx.settings.portNumber, 2);
    EXPECT_EQ(rig.driver.QuickAddresses(), std::vector<int>{240});
  }
}

TEST(Discovery, PortSearchReporting) {
  Rig rig;
  rig.ctx.settings.debugOn = false;
  rig.machine.SavePort(5);  // not there
  rig.driver.AddLine(2);
  rig.driver.BusyUntil(2, 1000000);
  rig.driver.AddLine(4);  // present, nothing answers
  Link& link = rig.MakeLink();
  EXPECT_FALSE(SearchPorts(link));
  const std::string busy2 = std::string(100, '.') + "\nCOM2 is being used by another application\n";
  const std::string quick = "Probing COM4\nSearching for unit ID...\n..\n";
  const std::string full = "Probing COM4\nSearching for unit ID...\n" + std::string(34, '.') + "\n";
  const std::string pass = "Using saved comm port number: COM5\nCOM5 is not present on this computer\n" + busy2;
  EXPECT_EQ(rig.Out(), "Searching ports...\n" + pass + quick + pass + full);

  // The saved port busy: said without a line end in either pass, and still no
  // message starts after it on its line.
  Rig busy;
  busy.ctx.settings.debugOn = false;
  busy.machine.SavePort(2);
  busy.driver.AddLine(2);
  busy.driver.BusyUntil(2, 1000000);
  Link& link2 = busy.MakeLink();
  EXPECT_FALSE(SearchPorts(link2));
  EXPECT_EQ(busy.Out(), "Searching ports...\nUsing saved comm port number: COM2\n" + std::string(100, '.') +
                            "\nCOM2 is being used by another application\nUsing saved comm port number: COM2\n" +
                            std::string(100, '.') + "\nCOM2 is being used by another application");
}

TEST(Discovery, WholeSearchWithoutAUnitOnVirtualTime) {
  Rig rig;
  rig.ctx.settings.debugOn = false;
  for (int16_t n = 1; n <= 32; ++n) rig.driver.AddLine(n);
  Link& link = rig.MakeLink();
  EXPECT_FALSE(SearchPorts(link));
  EXPECT_EQ(Count(rig.Out(), "Probing COM"), 64u);
  EXPECT_FALSE(link.PortOpen());
  std::printf("[ virtual  ] search of 32 ports without a unit: %.1f s\n", rig.clock.TickMs() / 1000.0);
}

TEST(Discovery, OpenUnitPort) {
  {  // A named port that is missing: the search runs, then the fatal error.
    SCOPED_TRACE("A named port that is missing");
    Rig rig;
    rig.ctx.settings.portNumber = 7;
    Link& link = rig.MakeLink();
    EXPECT_THROW(OpenUnitPort(link), RunExit);
    EXPECT_TRUE(Contains(rig.Out(), "Opening COM7\nCOM7 is not present on this computer\nSearching ports...\n"));
    EXPECT_TRUE(Contains(rig.Out(), "Fatal Error: Cannot find Corvanta unit\n"));
  }
  {  // A named port that another program holds.
    SCOPED_TRACE("A named port that another program holds");
    Rig rig;
    rig.driver.AddLine(3);
    rig.driver.BusyUntil(3, 1000000);
    rig.ctx.settings.portNumber = 3;
    Link& link = rig.MakeLink();
    EXPECT_THROW(OpenUnitPort(link), RunExit);
    EXPECT_TRUE(Contains(rig.Out(), "Fatal Error: COM3 is being used by another application\n"));
  }
  {  // Nothing found: the user names the port; the probe's result is left for ConnectUnit.
    SCOPED_TRACE("Nothing found: the user names the port; the probe's result is left for ConnectUnit");
    Rig rig("4\r");
    rig.driver.AddLine(4);
    Link& link = rig.MakeLink();
    OpenUnitPort(link);
    EXPECT_TRUE(Contains(rig.Out(), "Please enter COM port number (1,2,3...): 4\nOpening COM4\n"));
    EXPECT_TRUE(link.PortOpen());
    EXPECT_FALSE(link.connected);
  }
  {  // Nothing found and no answer at the prompt: no second search.
    SCOPED_TRACE("Nothing found and no answer at the prompt");
    Rig rig;
    Link& link = rig.MakeLink();
    EXPECT_THROW(OpenUnitPort(link), RunExit);
    EXPECT_EQ(Count(rig.Out(), "Searching ports..."), 1u);
    EXPECT_TRUE(Contains(rig.Out(), "Fatal Error: Cannot find Corvanta unit\n"));
  }
  {  // A given port at the given rate.
    SCOPED_TRACE("A given port at the given rate");
    Rig rig;
    sim::VirtualUnit unit(rig.driver.AddLine(3), Software(240, 115200));
    rig.ctx.settings.portNumber = 3;
    rig.ctx.settings.baudRate = 115200;
    Link& link = rig.MakeLink();
    OpenUnitPort(link);
    EXPECT_TRUE(link.connected);
    EXPECT_EQ(rig.driver.RatesOf({0xF0, 0x41}), std::vector<int32_t>{115200});
  }
}

TEST(Discovery, ConnectUnitPowerCycles) {
  {  // Software the probe cannot reach (4800 baud); the user switches the unit off and on after 20 s.
    SCOPED_TRACE("Software the probe cannot reach (4800 baud)");
    Rig rig;
    sim::VirtualUnit unit(rig.driver.AddLine(3), Software(240, 4800));
    rig.ctx.settings.portNumber = 3;
    Link& link = rig.MakeLink();
    OpenUnitPort(link);
    ASSERT_FALSE(link.connected);
    const uint32_t asked = rig.clock.TickMs();
    rig.console.At(asked + 20000, [&] { unit.PowerCycle(); });
    bool called = false;
    link.versionsRead = [&] { called = link.versions.cardNumber == sim::DefaultProfile().card; };
    ASSERT_TRUE(ConnectUnit(link));
    EXPECT_TRUE(called);
    EXPECT_EQ(link.softwareMode, modeCorvantaBootLoader);
    EXPECT_EQ(link.unitId, 1);
    EXPECT_EQ(unit.Model().Mode(), sim::UnitMode::BootLoader);
    EXPECT_TRUE(Contains(rig.Out(), "Attempting to connect to boot loader, please turn the unit power off and on now\n"
                                    "baud rate = 9600 (no parity) timeout=50ms\nSending boot loader response request\n"
                                    "OK - got boot loader response\n\n-- Found Unit (corvanta boot loader)\n"));
    EXPECT_FALSE(Contains(rig.Out(), "at 115200 baud"));
    EXPECT_LT(rig.clock.TickMs() - asked, 22000u);
  }
  {  // Nobody there: 60 s at 9600 and 30 s at 115200, then false.
    SCOPED_TRACE("Nobody there: 60 s at 9600 and 30 s at 115200, then false");
    Rig rig;
    rig.UseCom(3);
    Link& link = rig.MakeLink();
    ASSERT_TRUE(link.LockAndOpenPort(Link::shortTimeoutMs));
    const uint32_t start = rig.clock.TickMs();
    EXPECT_FALSE(ConnectUnit(link));
    EXPECT_EQ(rig.driver.RatesOf({0x01, 0x45, 0x10, 0x12}).size(), 1800u);
    EXPECT_GE(rig.clock.TickMs() - start, 90000u);
    EXPECT_TRUE(Contains(rig.Out(), "Attempting to connect to boot loader at 115200 baud, please turn the unit "
                                    "power off and on now\n"));
  }
  {  // Escape while waiting for the power cycle: "Aborted", port and lock released.
    SCOPED_TRACE("Escape while waiting for the power cycle");
    Rig rig;
    const fs::path dir = rig.machine.Dir();
    rig.ctx.settings.lockFolder = dir.string();
    rig.UseCom(3);
    rig.ctx.settings.yesToPrompts = true;
    Link& link = rig.MakeLink();
    ASSERT_TRUE(link.LockAndOpenPort(Link::shortTimeoutMs));
    ASSERT_TRUE(fs::exists(dir / "lockCorvantaCommPort3"));
    rig.console.At(rig.clock.TickMs() + 5000, [&] { rig.console.Press('x'); rig.console.Press(27); });
    try {
      ConnectUnit(link);
      ADD_FAILURE() << "no way out";
    } catch (const RunExit& e) {
      EXPECT_EQ(e.status, 1);
    }
    EXPECT_TRUE(Contains(rig.Out(), "Fatal Error: Aborted\n"));
    EXPECT_FALSE(link.PortOpen());
    EXPECT_FALSE(fs::exists(dir / "lockCorvantaCommPort3"));
  }
}

TEST(Discovery, Reconnect) {
  {  // The software answers at once after its restart.
    Rig rig;
    sim::VirtualUnit unit(rig.driver.AddLine(3), sim::DefaultProfile());
    rig.ctx.settings.portNumber = 3;
    Link& link = rig.MakeLink();
    OpenUnitPort(link);
    ASSERT_TRUE(ConnectUnit(link));
    link.softwareMode = modeUnknown;
    link.versions = {};
    rig.console.ClearOutput();
    ASSERT_TRUE(Reconnect(link));
    EXPECT_TRUE(Contains(rig.Out(), "\nOK - got quick response (0 retries)\n"));
    EXPECT_EQ(link.versions.softwareVersion, 490);
    EXPECT_EQ(link.softwareMode, modeCorvantaSoftware);
  }
  {  // Every cycle reaches the unit, no version request is answered: false after 20 cycles.
    QuickOnlyUnit unit;  // outlives the line it is attached to
    Rig rig;
    rig.driver.AddLine(3).Attach(&unit);
    rig.ctx.settings.portNumber = 3;
    Link& link = rig.MakeLink();
    ASSERT_TRUE(link.LockAndOpenPort(Link::shortTimeoutMs));
    link.unitId = 240;
    link.rateIndex = 3;
    EXPECT_FALSE(Reconnect(link));
    EXPECT_EQ(Count(rig.Out(), "Sending version request"), 20u);
    EXPECT_EQ(rig.driver.RatesOf({0xF0, 0x45, 0x10, 0x10}).size(), 400u);
    EXPECT_EQ(Count(rig.Out(), "-- Found Unit (direct connection)"), 19u);
  }
}

}  // namespace
}  // namespace corv
