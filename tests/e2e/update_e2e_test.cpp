// The built CorvUpdater updating units that CorvSim serves on COM1 through a
// pseudo-terminal, one unit per scenario: exit status, the console lines that
// matter, the log, the registry and the unit's state afterwards. Real time.
#include "update_e2e_rig.h"

namespace corv::e2e {
namespace {

// What a successful update run leaves: status 0, Success, no lock, the port
// saved, the unit running the carried software with that checksum.
void ExpectUpdated(Sandbox& box, const RunResult& r, const std::string& checksum) {
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(r.Has("Success: all operations are complete\n")) << r.out;
  EXPECT_FALSE(box.LockLeft());
  EXPECT_EQ(box.SavedPort(), "1");
  auto s = box.State();
  EXPECT_EQ(s["mode"], "software");
  EXPECT_EQ(s["version"], "510");
  EXPECT_EQ(s["checksum"], checksum);
  const std::string log = box.Log();
  EXPECT_NE(log.find("-- corvanta software will be updated\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Success: all operations are complete\r\n"), std::string::npos);
}

TEST(UpdateE2E, DefaultUnitUpdatedThenAlreadyCurrent) {
  Sandbox box("");
  RunResult r = box.Run({"-y"});
  ExpectUpdated(box, r, "0xCFD9091F");
  EXPECT_TRUE(r.Has("-- updating corvanta software\n")) << r.out;
  EXPECT_TRUE(r.Has("  Selected unit is a Display\n"));
  auto s = box.State();
  EXPECT_EQ(s["serial"], "12345");
  EXPECT_EQ(s["file40"].substr(0, 7), "540012,");
  EXPECT_EQ(s["file5D"].substr(0, 6), "48973,");
  const std::string blocks = s["flashBlocks"];

  RunResult again = box.Run({"-y"});
  EXPECT_EQ(again.status, 0) << again.out;
  EXPECT_TRUE(again.Has("-- corvanta software is already the correct version\n")) << again.out;
  EXPECT_EQ(again.Count("-- Corvanta file is up to date\n"), 15u);
  EXPECT_TRUE(again.Has("Success: all operations are complete\n"));
  EXPECT_EQ(box.State()["flashBlocks"], blocks);
}

TEST(UpdateE2E, CurrentUnitNothingWrittenThenW) {
  Sandbox box(CurrentDisplayProfile());
  RunResult r = box.Run({"-y", "-d"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(r.Has("-- corvanta software is already the correct version\n")) << r.out;
  EXPECT_EQ(r.out.find("Updating corvanta"), std::string::npos) << r.out;
  EXPECT_EQ(r.Count("-- Corvanta file is up to date\n"), 15u);  // images and fonts still checked
  EXPECT_TRUE(r.Has("Success: all operations are complete\n"));
  auto s = box.State();
  EXPECT_EQ(s["passes"], "0");
  EXPECT_EQ(s["flashBlocks"], "0");
  EXPECT_EQ(box.SavedPort(), "");  // nothing written, nothing saved
  EXPECT_FALSE(box.LockLeft());

  RunResult w = box.Run({"-y", "-d", "-w"});
  EXPECT_TRUE(w.Has("Updating corvanta software because -w command line option specified\n"
                    "-- corvanta software will be updated\n"))
      << w.out;
  ExpectUpdated(box, w, "0xCFD9091F");
  EXPECT_EQ(box.State()["passes"], "1");
}

// The fastest programming rate: the link steps up to 921600 for the flash
// passes and the files (CorvSim hears nothing at a rate it was not switched to).
TEST(UpdateE2E, ProgrammingAt921600) {
  Sandbox box("");
  RunResult r = box.Run({"-y", "-d", "-r", "921600"});
  EXPECT_TRUE(r.Has("Stepping up baud rate to 921600\n")) << r.out;
  EXPECT_FALSE(r.Has("falling back to standard speed")) << r.out;
  ExpectUpdated(box, r, "0xCFD9091F");
}

// A named port that is not there: the run says so, searches the ports and
// finds the unit on COM1. (COM40: under Wine COM1 to COM32 always exist.)
TEST(UpdateE2E, NamedPortMissingThenFoundBySearch) {
  Sandbox box("");
  RunResult r = box.RunAsIs({"-y", "-i", "COM40"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(r.Has("Opening COM40\nCOM40 is not present on this computer\nSearching ports...\n")) << r.out;
  EXPECT_TRUE(r.Has("Probing COM1\n")) << r.out;
  EXPECT_TRUE(r.Has("-- Found Unit (direct connection)\n")) << r.out;
  EXPECT_FALSE(r.Has("Probing COM2\n")) << r.out;
  EXPECT_FALSE(box.LockLeft());
  EXPECT_EQ(box.State()["version"], "490");
}

TEST(UpdateE2E, NewerSoftwareAndOldBootLoaderAreRewritten) {
  {
    Sandbox box(CurrentDisplayProfile() + "version=5.20\n");
    RunResult r = box.Run({"-y", "-d"});
    EXPECT_TRUE(r.Has("  Software:     v5.20\n"));
    EXPECT_TRUE(r.Has("Updating corvanta software because it is different than the current version\n")) << r.out;
    ExpectUpdated(box, r, "0xCFD9091F");
  }
  {
    Sandbox box(CurrentDisplayProfile() + "bootRelease=3\n");
    RunResult r = box.Run({"-y", "-d"});
    EXPECT_TRUE(r.Has("  Boot loader:  v3\n  MCU Type:     3\n"));
    EXPECT_TRUE(r.Has("Updating corvanta software because the checksum is not available (old boot loader)\n"))
        << r.out;
    ExpectUpdated(box, r, "0xCFD9091F");
    EXPECT_EQ(box.State()["release"], "3");  // a unit without test software keeps its boot loader
  }
}

TEST(UpdateE2E, SerialNumberLimits) {
  for (const char* serial : {"9999", "100001", "100000"}) {
    SCOPED_TRACE(serial);
    Sandbox box(CurrentDisplayProfile() + "serial=" + serial + "\n");
    RunResult r = box.Run({"-y", "-d"});
    EXPECT_TRUE(r.Has(std::string("  Serial No:    ") + serial + "\n"));
    if (std::string(serial) == "100000") {
      EXPECT_EQ(r.status, 0);
      EXPECT_TRUE(r.Has("-- corvanta software is already the correct version\n")) << r.out;
      EXPECT_EQ(box.State()["flashBlocks"], "0");
    } else {
      EXPECT_TRUE(r.Has("Updating corvanta software because the serial number is missing\n")) << r.out;
      ExpectUpdated(box, r, "0xCFD9091F");
    }
    EXPECT_EQ(box.State()["serial"], serial);
  }
}

TEST(UpdateE2E, TransmitterEepromStates) {
  struct Case {
    const char* eeprom;
    const char* checksum;
    const char* strings;  // the strings header afterwards
  };
  const Case cases[] = {
      {"1", "0x56149889", "64212,0x0000009C,0x5354,0x9EBB"},
      {"0", "0xDDBA46E5", "4294967295,0xFFFFFFFF,0xFFFF,0xFFFF"},
      {"2", "0xDDBA46E5", "64000,0x0000009B,0x5354,0x1111"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.eeprom);
    std::string profile = "card=620\ncircuit=6\nmcu=2\nbootRelease=5\nchecksum=0x22334455\neeprom=" +
                          std::string(c.eeprom) + "\n";
    if (std::string(c.eeprom) == "2") profile += "strings=header:64000,0x9B,0x5354,0x1111\n";
    Sandbox box(profile);
    RunResult r = box.Run({"-y"});
    EXPECT_TRUE(r.Has("This Corvanta unit contains a YELLOW PMODULE\n")) << r.out;
    EXPECT_TRUE(r.Has("  Selected unit is a Transmitter\n"));
    ExpectUpdated(box, r, c.checksum);
    auto s = box.State();
    EXPECT_EQ(s["strings"], c.strings);
    EXPECT_EQ(s["serial"], "12345");  // the old fields came back after the rewrite
  }
}

TEST(UpdateE2E, RefusedUnits) {
  {
    SCOPED_TRACE("a card with no software carried for it");
    Sandbox box("card=620\ncircuit=6\nmcu=3\n");
    RunResult r = box.Run({"-y"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(r.Has("Fatal Error: No new software can be found for this unit\n")) << r.out;
    EXPECT_NE(box.Log().find("Fatal Error: No new software can be found for this unit\r\n"), std::string::npos);
    EXPECT_EQ(box.State()["flashBlocks"], "0");
    EXPECT_FALSE(box.LockLeft());
  }
  {  // An FCHIP, with the message left in the parameter file.
    SCOPED_TRACE("An FCHIP, with the message left in the parameter file");
    Sandbox box("card=620\nmcu=2\nbootRelease=5\npmoduleType=1\n");
    const std::string job = box.Job("Program=TRUE\r\n");
    RunResult r = box.Run({"-y", job});
    const std::string message =
        "This Corvanta unit cannot be upgraded as it contains an FCHIP, please contact your supplier for updating to "
        "a PMODULE";
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_TRUE(r.Has("Fatal Error: " + message + "\n")) << r.out;
    EXPECT_EQ(ReadFile(job), "Program=TRUE\r\nMessage=" + message + "\r\n");
    auto s = box.State();
    EXPECT_EQ(s["mode"], "software");
    EXPECT_EQ(s["version"], "490");
    EXPECT_FALSE(box.LockLeft());
  }
  {  // A pre-production board outside manufacturing mode is left running.
    SCOPED_TRACE("A pre-production board outside manufacturing mode is left running");
    Sandbox box("bootFlags=0x82\n");
    RunResult r = box.Run({"-y"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(r.Has("Fatal Error: Cannot update this unit (pre-production board)\n")) << r.out;
    auto s = box.State();
    EXPECT_EQ(s["flags"], "130");
    EXPECT_EQ(s["passes"], "0");
    EXPECT_FALSE(box.LockLeft());
  }
}

TEST(UpdateE2E, DeclinedConfirmation) {
  Sandbox box("");
  RunResult r = box.Run({}, "n");
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(r.Has("Do you wish to upgrade this Corvanta unit? (y/n)\n")) << r.out;
  EXPECT_FALSE(r.Has("Fatal Error"));
  EXPECT_FALSE(r.Has("Rebooting"));
  EXPECT_FALSE(box.LockLeft());
  auto s = box.State();
  EXPECT_EQ(s["mode"], "software");
  EXPECT_EQ(s["version"], "490");
  // The port was given back: the next run opens it at once and finds the unit.
  RunResult next = box.Run({"-y", "-i"});
  EXPECT_EQ(next.status, 0) << next.out;
  EXPECT_FALSE(next.Has("being used by another application"));
}

// On a terminal the program reads keys without echo and polls for Escape; every
// way out gives the terminal back as it found it.
TEST(UpdateE2E, TerminalGivenBackOnEveryWayOut) {
  constexpr tcflag_t kModes = ICANON | ECHO;
  {  // A declined confirmation.
    Sandbox box("");
    Sandbox::TerminalRun t = box.RunOnTerminal({}, "(y/n)", 'n');
    EXPECT_EQ(t.run.status, 1) << t.run.out;
    EXPECT_TRUE(t.run.Has("Do you wish to upgrade this Corvanta unit? (y/n)")) << t.run.out;
    EXPECT_EQ(t.before.c_lflag & kModes, kModes);
    EXPECT_EQ(t.during.c_lflag & ICANON, 0u);  // the run had taken the terminal
    EXPECT_EQ(t.after.c_lflag & kModes, kModes);
    EXPECT_FALSE(box.LockLeft());
    EXPECT_EQ(box.State()["version"], "490");
  }
  {  // A fatal error, with its closing key prompt.
    Sandbox box("card=620\nmcu=2\nbootRelease=5\npmoduleType=1\n");
    Sandbox::TerminalRun t = box.RunOnTerminal({}, "Press Enter key to continue", '\r');
    EXPECT_EQ(t.run.status, 1) << t.run.out;
    EXPECT_TRUE(t.run.Has("Fatal Error: This Corvanta unit cannot be upgraded as it contains an FCHIP")) << t.run.out;
    EXPECT_EQ(t.after.c_lflag & kModes, kModes);
    EXPECT_EQ(t.after.c_lflag, t.before.c_lflag);
    EXPECT_FALSE(box.LockLeft());
  }
}

}  // namespace
}  // namespace corv::e2e
