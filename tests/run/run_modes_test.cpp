// The choice of run mode and the steps and failures of each mode.
#include <gtest/gtest.h>

#include <algorithm>

#include "fake_unit.h"
#include "run/run_modes.h"
#include "tests/common/scratch.h"

namespace corv {
namespace {

using testing::FakeUnit;
using testing::StatusOf;
using V = std::vector<std::string>;

struct FakeRun : testing::FakeRun {
  FakeUnit unit{ctx};
};

// A parameter file in a folder of its own, removed with it.
struct IniFile {
  explicit IniFile(const std::string& text) { testing::WriteFile(path, text); }
  testing::TempDir dir{"corv-modes"};
  std::string path = dir / "job.ini";
};

TEST(RunModes, UpdateRunIsTheDefault) {
  FakeRun r;
  r.ctx.settings.debugOn = true;
  RunOneMode(r.ctx, r.unit);
  EXPECT_EQ(r.console.Output(),
            "-- updating corvanta software\n(update)\n"
            "Pausing for 2 seconds to bypass boot loader and unit startup\n"
            "Success: all operations are complete\n");
  EXPECT_EQ(r.unit.calls, (V{"update 0 confirm", "reconnect @2000"}));

  FakeRun failing;  // the reconnection's outcome does not change the result
  failing.unit.reconnects = false;
  RunOneMode(failing.ctx, failing.unit);
  EXPECT_NE(failing.console.Output().find("Success: all operations are complete"), std::string::npos);
}

// A reset that went unanswered counts as done only when the unit's software
// then answers at its address and rate; otherwise "Unable to reset unit" ends
// the run at once, ahead of any reconnection and its search.
TEST(RunModes, UnansweredResetIsConfirmedByTheSoftwareAnswering) {
  struct Case {
    const char* name;
    void (*run)(Context&, UnitSession&);
    bool answers;
    const char* fatal;  // nullptr: the run ends well
  } cases[] = {
      {"update, back", UpdateRun, true, nullptr},
      {"update, not back", UpdateRun, false, "Unable to reset unit"},
      {"manufacturing, back", ManufacturingRun, true, nullptr},
      {"manufacturing, not back", ManufacturingRun, false, "Unable to reset unit"},
      {"interrogation, back", InterrogationRun, true, nullptr},
      {"interrogation, not back", InterrogationRun, false, "Unable to reset unit"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeRun r;
    r.ctx.settings.yesToPrompts = true;
    r.unit.resets = false;
    r.unit.answersAgain = c.answers;
    const int status = StatusOf([&] { c.run(r.ctx, r.unit); }, 0);
    const std::string& out = r.console.Output();
    if (!c.fatal) {
      EXPECT_EQ(status, 0);
      EXPECT_EQ(out.find("Fatal Error"), std::string::npos) << out;
    } else {
      EXPECT_EQ(status, 1);
      EXPECT_NE(out.find(std::string("Fatal Error: ") + c.fatal + "\n"), std::string::npos) << out;
      EXPECT_EQ(out.find("Success"), std::string::npos) << out;
      EXPECT_EQ(std::count_if(r.unit.calls.begin(), r.unit.calls.end(),
                              [](const std::string& call) { return call.rfind("reconnect", 0) == 0; }),
                0);
    }
    const std::string asked = "software answers @" + std::to_string(c.run == UpdateRun ? 2000 : 0);
    EXPECT_NE(std::find(r.unit.calls.begin(), r.unit.calls.end(), asked), r.unit.calls.end());
  }
  {  // An answered reset leaves the manufacturing run's own messages as they were.
    FakeRun r;
    r.ctx.settings.yesToPrompts = true;
    r.unit.reconnects = false;
    EXPECT_EQ(StatusOf([&] { ManufacturingRun(r.ctx, r.unit); }), 1);
    EXPECT_EQ(r.console.Output(), "(update)\nFatal Error: Unable to reconnect to unit\n");
    EXPECT_EQ(std::find(r.unit.calls.begin(), r.unit.calls.end(), "software answers @0"), r.unit.calls.end());
  }
}

TEST(RunModes, InterrogationRun) {
  {
    FakeRun r;
    r.ctx.settings.interrogateOnly = true;
    RunOneMode(r.ctx, r.unit);
    EXPECT_EQ(r.console.Output(), "-- interrogating unit\n");
    EXPECT_EQ(r.unit.calls, (V{"reboot", "select", "reset"}));
  }
  struct Case {
    const char* message;
    void (*spoil)(FakeUnit&);
  } cases[] = {
      {"Unable to initialise Corvanta unit", [](FakeUnit& u) { u.reboots = {false}; }},
      {"Unknown corvanta unit", [](FakeUnit& u) { u.selects = false; }},
      {"Unable to reset unit",
       [](FakeUnit& u) {
         u.resets = false;
         u.answersAgain = false;
       }},
  };
  for (const Case& c : cases) {
    FakeRun r;
    r.ctx.settings.yesToPrompts = true;
    c.spoil(r.unit);
    EXPECT_EQ(StatusOf([&] { InterrogationRun(r.ctx, r.unit); }), 1);
    EXPECT_EQ(r.console.Output(), std::string("Fatal Error: ") + c.message + "\n");
  }
}

TEST(RunModes, ManufacturingRun) {
  {
    SCOPED_TRACE("manufacturing with Program=true and -i");
    IniFile ini("CorvManufacture=1\r\nProgram=true\r\nSerialNo=4711\r\n");
    FakeRun r;
    r.ctx.settings.parameterFile = ini.path;
    r.ctx.settings.manufacturingMode = true;
    r.ctx.settings.interrogateOnly = true;  // no effect in manufacturing mode
    r.unit.serialNumber = 4711;
    RunOneMode(r.ctx, r.unit);
    EXPECT_EQ(r.console.Output(),
              "-- updating corvanta software (manufacturing)\n(update)\nSuccess: all operations are complete\n");
    EXPECT_EQ(r.unit.calls, (V{"manufacturing input", "update 4711 no-confirm", "reconnect @0"}));
  }
  {
    SCOPED_TRACE("manufacturing with Program=false");
    IniFile ini("CorvManufacture=1\r\nProgram=false\r\n");
    FakeRun r;
    r.ctx.settings.parameterFile = ini.path;
    r.ctx.settings.manufacturingMode = true;
    RunOneMode(r.ctx, r.unit);
    EXPECT_EQ(r.console.Output(), "-- nothing to do\n");
    EXPECT_TRUE(r.unit.calls.empty());
  }
  {
    SCOPED_TRACE("manufacturing, the unit does not reconnect");
    IniFile ini("Program=1\r\n");
    FakeRun r;
    r.ctx.settings.parameterFile = ini.path;
    r.ctx.settings.manufacturingMode = true;
    r.unit.reconnects = false;
    EXPECT_EQ(StatusOf([&] { ManufacturingRun(r.ctx, r.unit); }), 2);
    EXPECT_NE(r.console.Output().find("Fatal Error: Unable to reconnect to unit\n"), std::string::npos);
    EXPECT_EQ(r.console.Output().find("Press"), std::string::npos);  // no prompt in manufacturing mode
  }
  {
    SCOPED_TRACE("manufacturing, the unit not running its software");
    IniFile ini("Program=1\r\n");
    FakeRun r;
    r.ctx.settings.parameterFile = ini.path;
    r.ctx.settings.manufacturingMode = true;
    r.unit.mode = 2;
    EXPECT_EQ(StatusOf([&] { ManufacturingRun(r.ctx, r.unit); }), 2);
    EXPECT_EQ(testing::ReadFile(ini.path), "Program=1\r\nMessage=Unit is not running the Corvanta software\r\n");
  }
}

}  // namespace
}  // namespace corv
