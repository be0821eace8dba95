// Prints the fault matrix: for each unit kind, stop-and-wait and overlapped
// mode and fault, the runs made, how many completed, how many failed with a
// fatal message (the commonest one shown), and how many printed "Success"
// while the unit did not hold exactly the payload (the column that must be 0).
//   fault_matrix [runs per cell, default 10] [unit kind filter]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/fault_matrix.h"

int main(int argc, char** argv) {
  using namespace corv::faults;
  const int runs = argc > 1 ? std::atoi(argv[1]) : 10;
  const std::string only = argc > 2 ? argv[2] : "";
  const auto kinds = UnitKinds();
  const auto cells = AllFaults();
  std::printf("Fault matrix: %d seeded runs per cell, virtual line and virtual unit, virtual time\n\n", runs);
  std::printf("%-18s %-6s %-16s %5s %9s %6s %13s %5s  %s\n", "unit", "mode", "fault", "runs", "completed", "failed",
              "Success-wrong", "other", "commonest fatal message");
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
        std::printf("%-18s %-6s %-16s %5d %9d %6d %13d %5d  %s\n", kinds[k].name, overlapped ? "overl" : "s&w",
                    cells[c].name.c_str(), n.runs, n.completed, n.failed, n.wrong, n.other, fatal.c_str());
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
