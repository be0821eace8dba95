// Prints the fault matrix: for each unit kind, stop-and-wait and overlapped
// mode and fault, the runs made, how many completed, how many failed with a
// fatal message (the commonest one shown), and how many printed "Success"
// while the unit did not hold exactly the payload (the column that must be 0),
// and in how many the unit was switched off and on because the run asked for it.
// A cell where only some runs failed lists them, so that each can be replayed.
//   fault_matrix [runs per cell, default 10] [unit kind filter]
//   fault_matrix replay <unit kind> <fault> <s&w|overl> <run> [-d|-dd] [unit]
//     prints the console output of one run (kinds and faults numbered from 0
//     in the table's order), with its details or com data when asked, and
//     with "unit" what the unit makes of each frame
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/fault_matrix.h"

namespace {

using namespace corv::faults;

int Replay(size_t k, size_t c, bool overlapped, int run, const std::string& debug, bool traceUnit) {
  const auto kinds = UnitKinds();
  const auto cells = AllFaults();
  if (k >= kinds.size() || c >= cells.size()) {
    std::fprintf(stderr, "no such unit kind or fault\n");
    return 2;
  }
  const Holding reference = Reference(kinds[k], overlapped);
  FaultRun one(kinds[k], cells[c], overlapped, SeedOf(k, c, overlapped, run));
  one.debugOption = debug;
  one.traceUnit = traceUnit;
  const RunResult r = one.Run(&reference);
  static const char* const kOutcomes[] = {"completed", "failed", "Success while wrong", "ended otherwise"};
  std::printf("%s\n-- %s, %s, %s, run %d: %s, status %d, switched off and on %d times\n", r.output.c_str(),
              kinds[k].name, overlapped ? "overlapped" : "stop-and-wait", cells[c].name.c_str(), run,
              kOutcomes[static_cast<int>(r.outcome)], r.status, r.powerCycles);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 6 && std::string(argv[1]) == "replay") {
    std::string debug;
    bool traceUnit = false;
    for (int i = 6; i < argc; ++i) {
      if (std::string(argv[i]) == "unit") {
        traceUnit = true;
      } else {
        debug = argv[i];
      }
    }
    return Replay(std::strtoul(argv[2], nullptr, 10), std::strtoul(argv[3], nullptr, 10),
                  std::string(argv[4]) == "overl", std::atoi(argv[5]), debug, traceUnit);
  }
  const int runs = argc > 1 ? std::atoi(argv[1]) : 10;
  const std::string only = argc > 2 ? argv[2] : "";
  const auto kinds = UnitKinds();
  const auto cells = AllFaults();
  std::printf("Fault matrix: %d seeded runs per cell, virtual line and virtual unit, virtual time\n\n", runs);
  std::printf("%-18s %-6s %-16s %5s %9s %6s %13s %5s %6s  %s\n", "unit", "mode", "fault", "runs", "completed",
              "failed", "Success-wrong", "other", "cycled", "commonest fatal message");
  int wrongTotal = 0, otherTotal = 0;
  const auto t0 = std::chrono::steady_clock::now();
  for (size_t k = 0; k < kinds.size(); ++k) {
    if (!only.empty() && std::string(kinds[k].name).find(only) == std::string::npos) continue;
    for (bool overlapped : {false, true}) {
      const Holding reference = Reference(kinds[k], overlapped);
      for (size_t c = 0; c < cells.size(); ++c) {
        const CellCount n = RunCell(kinds[k], k, cells[c], c, overlapped, runs, reference);
        std::string fatal;
        int most = 0;
        for (const auto& [m, count] : n.fatals) {
          if (count > most) {
            most = count;
            fatal = m;
          }
        }
        if (fatal.size() > 60) fatal = fatal.substr(0, 57) + "...";
        std::printf("%-18s %-6s %-16s %5d %9d %6d %13d %5d %6d  %s\n", kinds[k].name, overlapped ? "overl" : "s&w",
                    cells[c].name.c_str(), n.runs, n.completed, n.failed, n.wrong, n.other, n.cycled, fatal.c_str());
        if (n.failed < n.runs) {
          for (const auto& [run, message] : n.failedRuns) {
            std::printf("    failed: replay %zu %zu %s %d: %s\n", k, c, overlapped ? "overl" : "s&w", run,
                        message.c_str());
          }
        }
        for (uint64_t s : n.wrongSeeds) std::printf("    wrong: seed 0x%016llX\n", static_cast<unsigned long long>(s));
        for (uint64_t s : n.otherSeeds) std::printf("    other: seed 0x%016llX\n", static_cast<unsigned long long>(s));
        std::fflush(stdout);
        wrongTotal += n.wrong;
        otherTotal += n.other;
      }
    }
  }
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("\nSuccess while wrong: %d; runs that ended otherwise: %d; %.1f s\n", wrongTotal, otherTotal, secs);
  return wrongTotal == 0 ? 0 : 1;
}
