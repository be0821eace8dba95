// The bench of the in-process update tests: the whole program on a virtual
// line and virtual time, with a virtual unit on COM3, a machine folder of its
// own (registry, lock folder, LogFiles beside the program), scripted keys and
// parameter files made from the unit's own fields rules.
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "sim/virtual_line.h"
#include "link/exchange.h"
#include "link/link.h"
#include "payloads/catalogue.h"
#include "run/program.h"
#include "sim/unit_data.h"
#include "sim/virtual_unit.h"
#include "platform/hive_file.h"
#include "tests/common/frame_faults.h"
#include "tests/common/manufacturing_job.h"
#include "tests/common/scratch.h"
#include "platform/environment.h"

namespace corv::testing {

namespace fs = std::filesystem;

// `p` holding the carried images file and fonts.
inline sim::UnitProfile WithCatalogue(sim::UnitProfile p) {
  std::string error;
  EXPECT_TRUE(sim::ApplySetting(p, "file40", "catalogue", error)) << error;
  for (const FontEntry& f : FontTable()) {
    char key[8];
    std::snprintf(key, sizeof key, "file%02X", f.fileNumber);
    EXPECT_TRUE(sim::ApplySetting(p, key, "catalogue", error)) << error;
  }
  return p;
}

// A Display with MCU type 3 that already holds everything this program carries.
inline sim::UnitProfile CurrentDisplay() {
  sim::UnitProfile p = WithCatalogue(sim::DefaultProfile());
  p.version = kPayloadSoftwareVersion;
  p.checksum = kDisplayMcu3Checksum;
  return p;
}


// The whole program in process on a virtual port driver and virtual time, with
// scripted keys, in a machine folder of its own (/tmp/<prefix>-XXXXXX: an empty
// registry, a lock folder, the program in its bin folder).
struct ProgramBench : FakeRun {
  explicit ProgramBench(const std::string& prefix, std::string keys = {})
      : FakeRun(std::move(keys)), machine(prefix, true) {
    fs::create_directories(dir + "/bin");
    ctx.programPath = dir + "/bin/CorvUpdater";
  }

  // The program with these arguments; its exit status.
  int Run(const std::vector<std::string>& args) {
    StartOptions opts;
    opts.installAbortHandler = false;
    // Only the lock folder set for the run comes from the environment.
    opts.env = [](const char* name) {
      return std::string(name) == "CORVANTALOCKDIR" ? EnvironmentValue(name) : std::string();
    };
    opts.portDriver = &driver;
    try {
      return RunCorvUpdater(ctx, args, opts);
    } catch (const RunExit& e) {
      return e.status;
    }
  }

  MachineFolderScope machine;
  std::string dir = machine.dir.path;
  VirtualPortDriver driver{clock};
};

// The same with a virtual unit on COM3 and no home folder named.
struct UpdateBench : ProgramBench {
  explicit UpdateBench(const sim::UnitProfile& profile, std::string keys = {})
      : ProgramBench("corv-update", std::move(keys)) {
    unsetenv("CORVUPDATER");
    unit = std::make_unique<sim::VirtualUnit>(driver.AddLine(3), profile);
  }
  ~UpdateBench() { unit.reset(); }
  std::string Job(const std::string& text) {
    const std::string path = dir + "/job.ini";
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }

  const std::string& Out() const { return console.Output(); }
  bool Has(const std::string& text) const { return testing::Contains(Out(), text); }
  size_t Count(const std::string& text) const { return testing::Count(Out(), text); }
  // The run's log file (one per run).
  std::string Log() const {
    for (const auto& e : fs::directory_iterator(dir + "/bin/LogFiles")) return ReadFile(e.path().string());
    return {};
  }
  bool LockLeft() const { return fs::exists(dir + "/locks/lockCorvantaCommPort3"); }
  bool PortOpen() { return driver.Line(3)->HostOpen(); }
  std::string SavedPort() const { return RegGetMachineString("SOFTWARE\\Oxlerand\\Corvanta\\CommPort"); }
  sim::UnitModel& Model() { return unit->Model(); }

  std::unique_ptr<sim::VirtualUnit> unit;
};

// Sends the secured boot loader's command as CorvBoot does: true when the unit
// answered that it is done.
inline bool SendSecuredBootLoader(Link& link) {
  uint8_t result = 0;
  Exchange x(link, link.bootAddress, cmd::kInstallSecuredBootLoader);
  return x.Run(Tries{20}, [&](ReplyFields& f) {
    result = f.U8();
    return true;
  }) && result == 0;
}

}  // namespace corv::testing
