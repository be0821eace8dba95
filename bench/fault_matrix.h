// The fault matrix: whole update runs of CorvUpdater, in-process on a virtual
// line and virtual time, of each unit kind in stop-and-wait and overlapped
// mode, under one kind of fault per cell (byte errors either way, stray bytes,
// dropped and late replies, a unit that resets itself in the middle of a flash
// pass, a unit that goes silent). Every run is seeded, so every failure
// reproduces. Each run ends in one of three ways: completed ("Success" and the
// unit holds exactly what a fault-free run leaves), failed (a "Fatal Error: "
// line and no "Success"), or wrong ("Success" while the unit differs: its flash
// checksum, version, serial number, fields, strings or a file's attributes).
// When a run asks for the unit to be switched off and on, the bench does it a
// few seconds later, as the person at the unit would; such runs are counted.
// Used by bench/fault_matrix.cpp and the run tests.
#pragma once
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "sim/virtual_line.h"
#include "payloads/catalogue.h"
#include "run/program.h"
#include "sim/virtual_unit.h"
#include "platform/console.h"
#include "platform/environment.h"

namespace corv::faults {

struct UnitKindEntry {
  const char* name;
  sim::UnitProfile profile;
  uint32_t checksum;  // the software checksum a completed run leaves
};

inline std::vector<UnitKindEntry> UnitKinds() {
  return {{"Display MCU 2", sim::DisplayMcu2Profile(), kDisplayMcu2Checksum},
          {"Display MCU 3", sim::DefaultProfile(), kDisplayMcu3Checksum},
          {"Transmitter small", sim::TransmitterMcu2Profile(0), kTransmitterSmallChecksum},
          {"Transmitter 128K", sim::TransmitterMcu2Profile(1), kTransmitter128kChecksum}};
}

enum class Fault { None, ErrorsToUnit, ErrorsToHost, StrayBytes, DroppedReplies, LateReplies, ResetInPass, SilentAfter };

struct FaultCell {
  std::string name;
  Fault fault = Fault::None;
  double rate = 0;  // byte error rate, or the share of replies hit
};

// The cells of the full matrix.
inline std::vector<FaultCell> AllFaults() {
  std::vector<FaultCell> cells = {{"none", Fault::None, 0}};
  for (double r : {1e-5, 1e-4, 1e-3}) {
    char n[32];
    std::snprintf(n, sizeof n, "to unit %.0e", r);
    cells.push_back({n, Fault::ErrorsToUnit, r});
    std::snprintf(n, sizeof n, "to PC %.0e", r);
    cells.push_back({n, Fault::ErrorsToHost, r});
  }
  cells.push_back({"stray bytes", Fault::StrayBytes, 2e-3});
  cells.push_back({"dropped replies", Fault::DroppedReplies, 2e-3});
  cells.push_back({"late replies", Fault::LateReplies, 2e-3});
  cells.push_back({"reset in pass", Fault::ResetInPass, 0});
  cells.push_back({"silent after n", Fault::SilentAfter, 0});
  return cells;
}

// What the unit holds after a run, as far as an update decides it.
struct Holding {
  uint16_t version = 0;
  uint32_t checksum = 0;
  uint32_t serial = 0;
  std::vector<uint8_t> fields;
  std::vector<uint8_t> strings;
  std::map<uint8_t, std::array<uint32_t, 5>> attributes;
  bool operator==(const Holding&) const = default;
};

inline Holding HoldingOf(const sim::UnitModel& m) {
  Holding h;
  h.version = m.Version();
  h.checksum = m.Checksum();
  h.serial = m.Serial();
  h.fields = m.Fields();
  h.strings = m.StringsArea();
  for (const auto& [n, data] : m.Files()) h.attributes[n] = m.Attributes(n);
  return h;
}

enum class Outcome { Completed, Failed, Wrong, Other };

// The console of a run, with the person at the unit: a few seconds after the
// run asks for the unit to be switched off and on, `powerCycle` is called.
class OperatorConsole : public ScriptedConsole {
 public:
  static constexpr const char* kAsked = "please turn the unit power off and on now";
  static constexpr uint32_t kDelayMs = 5000;

  explicit OperatorConsole(VirtualClock& clock) : clock_(clock) {}
  std::function<void()> powerCycle;
  // Called before each piece of output is kept (a bench stamps it).
  std::function<void(std::string_view)> onWrite;
  void Write(std::string_view text) override {
    if (onWrite) onWrite(text);
    ScriptedConsole::Write(text);
  }
  int Cycles() const { return cycles_; }

  int PollKey() override {
    const size_t asked = Output().find(kAsked, seen_);
    if (asked != std::string::npos) {
      seen_ = asked + 1;
      dueMs_ = clock_.TickMs() + kDelayMs;
      due_ = true;
    }
    if (due_ && clock_.TickMs() >= dueMs_) {
      due_ = false;
      ++cycles_;
      if (powerCycle) powerCycle();
    }
    return ScriptedConsole::PollKey();
  }

 private:
  VirtualClock& clock_;
  size_t seen_ = 0;
  bool due_ = false;
  uint32_t dueMs_ = 0;
  int cycles_ = 0;
};

struct RunResult {
  Outcome outcome = Outcome::Other;
  int powerCycles = 0;  // by the person at the unit, when the run asked for them
  int status = -1;
  std::string fatal;   // the fatal message, when there was one
  std::string output;  // console output (kept for reports of wrong runs)
};

// One run: a machine folder of its own, the unit on COM3, faults from `seed`.
class FaultRun {
 public:
  FaultRun(const UnitKindEntry& kind, const FaultCell& cell, bool overlapped, uint64_t seed)
      : kind_(kind), cell_(cell), overlapped_(overlapped), seed_(seed) {}

  RunResult Run(const Holding* reference) {
    char tmpl[] = "/tmp/corv-faults-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    std::filesystem::create_directories(dir + "/bin");
    std::filesystem::create_directories(dir + "/locks");
    setenv("CORVANTAROOT", dir.c_str(), 1); ReadSystemEnvironment();
    setenv("CORVANTALOCKDIR", (dir + "/locks").c_str(), 1);
    unsetenv("CORVUPDATER");

    VirtualClock clock;
    OperatorConsole console(clock);
    Context ctx(console, clock);
    ctx.programPath = dir + "/bin/CorvUpdater";
    VirtualPortDriver driver(clock);
    VirtualLine& line = driver.AddLine(3);
    auto unit = std::make_unique<sim::VirtualUnit>(line, kind_.profile);
    Inject(line, unit->Model());
    console.powerCycle = [&unit] { unit->PowerCycle(); };
    if (prepare) prepare(line, *unit, console);
    if (traceUnit) {
      unit->Model().trace = [&console, &clock](const std::string& s) {
        console.Write("{unit @" + std::to_string(clock.TickMs()) + " ms: " + s + "}\n");
      };
    }

    StartOptions opts;
    opts.installAbortHandler = false;
    // Only the lock folder set for the run comes from the environment.
    opts.env = [](const char* name) {
      return std::string(name) == "CORVANTALOCKDIR" ? EnvironmentValue(name) : std::string();
    };
    opts.portDriver = &driver;
    std::vector<std::string> args = {"-y", "COM3"};
    if (overlapped_) args.insert(args.begin(), "-o");
    args.insert(args.begin(), options.begin(), options.end());
    if (!debugOption.empty()) args.insert(args.begin(), debugOption);
    RunResult r;
    try {
      r.status = RunCorvUpdater(ctx, args, opts);
    } catch (const RunExit& e) {
      r.status = e.status;
    }
    if (traceUnit) {
      const sim::UnitCounters& n = unit->Model().Counters();
      console.Write("{unit: " + std::to_string(n.frames) + " intact frames, " + std::to_string(n.badFrames) +
                    " bad frames, " + std::to_string(n.droppedBytes) + " bytes dropped, " +
                    std::to_string(n.replies) + " replies}\n");
    }
    r.output = console.Output();
    r.powerCycles = console.Cycles();
    const size_t fatal = r.output.find("Fatal Error: ");
    if (fatal != std::string::npos) {
      const size_t end = r.output.find('\n', fatal);
      r.fatal = r.output.substr(fatal + 13, end == std::string::npos ? std::string::npos : end - fatal - 13);
    }
    const bool success = r.output.find("Success: all operations are complete") != std::string::npos;
    held_ = HoldingOf(unit->Model());
    if (success) {
      const bool exact = held_.checksum == kind_.checksum && held_.version == kPayloadSoftwareVersion &&
                         (reference == nullptr || held_ == *reference);
      r.outcome = exact && r.status == 0 ? Outcome::Completed : Outcome::Wrong;
    } else if (!r.fatal.empty() && r.status != 0) {
      r.outcome = Outcome::Failed;
    }
    unit.reset();
    unsetenv("CORVANTAROOT"); ReadSystemEnvironment();
    unsetenv("CORVANTALOCKDIR");
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return r;
  }
  const Holding& Held() const { return held_; }

  // "-d" or "-dd" to see a run's details (replaying one), and what the unit
  // makes of each frame.
  std::string debugOption;
  bool traceUnit = false;
  // More options ahead of the port, and a hook on the line, the unit and the
  // console before the run starts (a bench sets the adapter and meters).
  std::vector<std::string> options;
  std::function<void(VirtualLine&, sim::VirtualUnit&, OperatorConsole&)> prepare;

 private:
  // Reply numbers hit with chance `share` each, over the replies a run makes.
  std::set<uint64_t> Pick(std::mt19937_64& rng, double share) const {
    std::set<uint64_t> s;
    std::bernoulli_distribution hit(share);
    for (uint64_t n = 1; n <= 20000; ++n) {
      if (hit(rng)) s.insert(n);
    }
    return s;
  }

  void Inject(VirtualLine& line, sim::UnitModel& model) const {
    std::mt19937_64 rng(seed_);
    switch (cell_.fault) {
      case Fault::None: break;
      case Fault::ErrorsToUnit:
        line.toFar.errorRate = cell_.rate;
        line.toFar.seed = seed_;
        break;
      case Fault::ErrorsToHost:
        line.toHost.errorRate = cell_.rate;
        line.toHost.seed = seed_;
        break;
      case Fault::StrayBytes: model.faults.strayBeforeReply = Pick(rng, cell_.rate); break;
      case Fault::DroppedReplies: model.faults.dropReply = Pick(rng, cell_.rate); break;
      case Fault::LateReplies: {
        std::uniform_int_distribution<uint64_t> late(20000, 1500000);
        for (uint64_t n : Pick(rng, cell_.rate)) model.faults.lateReplyUs[n] = late(rng);
        break;
      }
      case Fault::ResetInPass: {
        std::uniform_int_distribution<uint64_t> block(2, 400);
        model.faults.resetAfterBlocks = block(rng);
        break;
      }
      case Fault::SilentAfter: {
        std::uniform_int_distribution<uint64_t> block(1, 400);
        model.faults.silentAfterBlocks = block(rng);
        break;
      }
    }
  }

  const UnitKindEntry& kind_;
  const FaultCell& cell_;
  bool overlapped_;
  uint64_t seed_;
  Holding held_;
};

struct CellCount {
  int runs = 0, completed = 0, failed = 0, wrong = 0, other = 0;
  int cycled = 0;  // runs in which the unit was switched off and on when asked
  std::map<std::string, int> fatals;  // message -> runs
  std::vector<uint64_t> wrongSeeds, otherSeeds;
  std::vector<std::pair<int, std::string>> failedRuns;  // run number, fatal message
};

inline uint64_t SeedOf(size_t kind, size_t cell, bool overlapped, int run) {
  return 0x9E3779B97F4A7C15ull * (1 + kind) ^ (0xC2B2AE3D27D4EB4Full * (1 + cell)) ^ (overlapped ? 0x5555 : 0) ^
         (static_cast<uint64_t>(run) << 20);
}

// The reference holding of a fault-free run of a unit kind and mode.
inline Holding Reference(const UnitKindEntry& kind, bool overlapped) {
  static const FaultCell none{"none", Fault::None, 0};
  FaultRun run(kind, none, overlapped, 1);
  run.Run(nullptr);
  return run.Held();
}

inline CellCount RunCell(const UnitKindEntry& kind, size_t kindIndex, const FaultCell& cell, size_t cellIndex,
                         bool overlapped, int runs, const Holding& reference) {
  CellCount c;
  for (int i = 0; i < runs; ++i) {
    const uint64_t seed = SeedOf(kindIndex, cellIndex, overlapped, i);
    FaultRun run(kind, cell, overlapped, seed);
    const RunResult r = run.Run(&reference);
    ++c.runs;
    if (r.powerCycles > 0) ++c.cycled;
    switch (r.outcome) {
      case Outcome::Completed: ++c.completed; break;
      case Outcome::Failed:
        ++c.failed;
        ++c.fatals[r.fatal];
        c.failedRuns.emplace_back(i, r.fatal);
        break;
      case Outcome::Wrong:
        ++c.wrong;
        c.wrongSeeds.push_back(seed);
        break;
      case Outcome::Other:
        ++c.other;
        c.otherSeeds.push_back(seed);
        break;
    }
  }
  return c;
}

}  // namespace corv::faults
