// The whole update as a service engineer or a production line waits for it:
// CorvUpdater runs in-process against the virtual unit on the virtual line and
// virtual time, from its start to "Success", for a Display (MCU type 3:
// software, images and fonts), a Transmitter with MCU type 2 (software and
// strings file) and an MCU type 1 unit (refused after the reboot); at the
// default programming rate and at 921600; block by block and overlapped
// (-o); through a plain UART and a USB adapter holding received bytes for
// 1 ms or 16 ms.
//
// The console lines are stamped with the virtual time, the wire time that
// has crossed the line each way (each byte at its own rate) and the unit's
// own time (its command and flash-write times), and cut into phases at the
// lines that open them. A phase's bound is the larger of its wire time in
// the busier direction and the unit's own time, plus the waits of the update
// itself: the unit's deaf time after the reset of a reboot, the 100 ms after
// starting the RAM program, the 2 s before reconnecting. One table: each
// phase's bound at the rate, and for each mode and adapter the phase's time
// and its ratio to the bound (the bound of that run's own bytes).
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "bench/fault_matrix.h"

namespace {

using namespace corv;

struct Snap {
  uint64_t us = 0, toUnitNs = 0, toPcNs = 0, unitUs = 0;
};

struct Phase {
  std::string name;
  double ms = 0, boundMs = 0;
};

// The phase a console line opens, or "" when it opens none.
std::string Opens(const std::string& line) {
  static const std::pair<const char*, const char*> kStarts[] = {
      {"Rebooting unit", "reboot"},
      {"Downloading programmer...", "programmer download"},
      {"GetStringFileAttributes", "EEPROM check"},
      {"Updating Corvanta strings file...", "strings file"},
      {"  Selected unit is", "software image"},
      {"Preserving manufacturing fields", "manufacturing fields"},
      {"Updating manufacturing fields", "manufacturing fields"},
      {"Sending reset command to unit", "reset and reconnect"},
  };
  for (const auto& [start, name] : kStarts) {
    if (line.rfind(start, 0) == 0) return name;
  }
  if (line.rfind("GetFileAttributes:", 0) == 0) return "file " + line.substr(18, 2);
  return "";
}

// The waits of the update a phase holds (ms).
double WaitsMs(const std::string& name, const sim::UnitProfile& p) {
  if (name.rfind("reboot", 0) == 0) return p.resetUs / 1000.0;
  if (name.rfind("programmer download", 0) == 0) return 100;
  if (name == "reset and reconnect") return 2000;
  return 0;
}

struct Config {
  bool overlapped;
  uint32_t latencyUs;
};

std::vector<Phase> RunUpdate(const faults::UnitKindEntry& kind, int32_t rate, const Config& c, bool& success,
                             bool show) {
  static const faults::FaultCell none{"none", faults::Fault::None, 0};
  faults::FaultRun run(kind, none, c.overlapped, 1);
  run.debugOption = "-d";  // the detail lines that open the phases
  if (rate != 0) run.options = {"-r", std::to_string(rate)};
  std::vector<std::pair<size_t, Snap>> stamps;
  run.prepare = [&](VirtualLine& line, sim::VirtualUnit& unit, faults::OperatorConsole& console) {
    line.SetAdapter(c.latencyUs);
    console.onWrite = [&stamps, &line, &unit, &console](std::string_view) {
      stamps.push_back({console.Output().size(),
                        {line.Clock().NowUs(), line.WireNsToFar(), line.WireNsToHost(),
                         unit.Model().Counters().workUs}});
    };
  };
  const faults::RunResult r = run.Run(nullptr);
  success = r.outcome == faults::Outcome::Completed;
  if (show) {  // each console line with its virtual time in ms
    size_t s = 0;
    for (size_t at = 0; at < r.output.size();) {
      size_t end = r.output.find('\n', at);
      if (end == std::string::npos) end = r.output.size();
      while (s + 1 < stamps.size() && stamps[s].first < at) ++s;
      std::printf("%10.1f %s\n", s < stamps.size() ? static_cast<double>(stamps[s].second.us) / 1000 : 0.0,
                  r.output.substr(at, end - at).c_str());
      at = end + 1;
    }
  }
  std::vector<Phase> phases;
  std::map<std::string, int> seen;
  Snap from;
  std::string name = "finding the unit";
  auto close = [&](const Snap& to) {
    const double wire = static_cast<double>(std::max(to.toUnitNs - from.toUnitNs, to.toPcNs - from.toPcNs)) / 1e6;
    const double unitMs = static_cast<double>(to.unitUs - from.unitUs) / 1000.0;
    const int n = ++seen[name];
    phases.push_back({n > 1 ? name + " " + std::to_string(n) : name, static_cast<double>(to.us - from.us) / 1000.0,
                      std::max(wire, unitMs) + WaitsMs(name, kind.profile)});
    from = to;
  };
  size_t k = 0;
  for (size_t at = 0; at < r.output.size();) {
    size_t end = r.output.find('\n', at);
    if (end == std::string::npos) end = r.output.size();
    while (k + 1 < stamps.size() && stamps[k].first < at) ++k;
    const std::string next = Opens(r.output.substr(at, end - at));
    if (!next.empty() && k < stamps.size()) {
      close(stamps[k].second);
      name = next;
    }
    at = end + 1;
  }
  if (!stamps.empty()) close(stamps.back().second);
  return phases;
}

}  // namespace

// With arguments UNIT RATE CONFIG (numbers from 0, as the table's order) it
// prints that one run's console lines with their virtual times instead.
int main(int argc, char** argv) {
  sim::UnitProfile mcu1 = sim::DisplayMcu2Profile();
  mcu1.mcu = 1;
  const std::vector<faults::UnitKindEntry> kinds = {
      {"Display MCU 3", sim::DefaultProfile(), kDisplayMcu3Checksum},
      {"Transmitter MCU 2", sim::TransmitterMcu2Profile(1), kTransmitter128kChecksum},
      {"MCU 1 unit", mcu1, 0}};
  const Config configs[] = {{false, 0}, {false, 1000}, {false, 16000}, {true, 0}, {true, 1000}, {true, 16000}};
  if (argc == 4) {
    bool success = false;
    RunUpdate(kinds.at(std::stoul(argv[1])), std::stoi(argv[2]) == 0 ? 0 : 921600, configs[std::stoul(argv[3]) % 6],
              success, true);
    return success ? 0 : 1;
  }
  std::printf("Whole updates on the virtual line: time s / ratio to the bound, by mode and adapter.\n");
  std::printf("Unit model: 200 us per command, 1 ms per 128 bytes written; deaf 5 ms after a reset.\n\n");
  std::printf("%-17s %-22s %6s %8s |%-14s|%-14s|%-14s|%-14s|%-14s|%-14s\n", "", "", "", "", " block by block",
              "", "", " overlapped", "", "");
  std::printf("%-17s %-22s %6s %8s |%-14s|%-14s|%-14s|%-14s|%-14s|%-14s\n", "unit", "phase", "rate", "bound s",
              " UART", " USB 1 ms", " USB 16 ms", " UART", " USB 1 ms", " USB 16 ms");
  bool ok = true;
  for (const auto& kind : kinds) {
    for (int32_t rate : {0, 921600}) {
      std::vector<std::vector<Phase>> runs;
      for (const Config& c : configs) {
        bool success = false;
        runs.push_back(RunUpdate(kind, rate, c, success, false));
        if (!success && kind.checksum != 0) {
          std::printf("%s at %d: FAILED\n", kind.name, rate);
          ok = false;
        }
      }
      const std::vector<Phase>& base = runs.front();
      auto row = [&](const std::string& phase, double bound, auto pick) {
        std::printf("%-17s %-22s %6s %8.2f ", kind.name, phase.c_str(), rate == 0 ? "115200" : "921600", bound / 1000);
        for (const auto& phases : runs) {
          double ms = 0, b = 0;
          if (!pick(phases, ms, b)) {
            std::printf("|%-14s", " -");
            continue;
          }
          std::printf("|%7.2f %5.2f ", ms / 1000, b > 0 ? ms / b : 0.0);
        }
        std::printf("\n");
      };
      double total = 0;
      for (const Phase& p : base) {
        total += p.boundMs;
        row(p.name, p.boundMs, [&p](const std::vector<Phase>& phases, double& ms, double& b) {
          for (const Phase& q : phases) {
            if (q.name == p.name) {
              ms = q.ms, b = q.boundMs;
              return true;
            }
          }
          return false;
        });
      }
      row("total", total, [](const std::vector<Phase>& phases, double& ms, double& b) {
        for (const Phase& q : phases) ms += q.ms, b += q.boundMs;
        return true;
      });
    }
  }
  return ok ? 0 : 1;
}
