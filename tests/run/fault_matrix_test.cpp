// A small fault matrix with assertions: for each unit kind in both modes, runs
// with byte errors either way, stray bytes, and dropped or late replies (the
// last reply of a run among them) all complete, and a unit that resets itself
// mid-pass or goes silent ends the run with the flash writing's fatal message;
// no run ends in a wrong "Success". The reference a run is judged against is
// itself checked: the carried software, serial number and fields kept, the
// files the catalogue's.
#include <gtest/gtest.h>

#include <string>

#include "bench/fault_matrix.h"
#include "tests/run/update_rig.h"

namespace corv::faults {
namespace {

// The attributes of the images file and the fonts on a unit that holds them.
std::map<uint8_t, std::array<uint32_t, 5>> CatalogueAttributes() {
  sim::UnitModel m(testing::WithCatalogue(sim::DefaultProfile()));
  std::map<uint8_t, std::array<uint32_t, 5>> a;
  for (const auto& [n, data] : m.Files()) a[n] = m.Attributes(n);
  return a;
}

void CheckKind(size_t k) {
  const UnitKindEntry kind = UnitKinds()[k];
  const auto cells = AllFaults();
  const sim::UnitModel before(kind.profile);
  for (bool overlapped : {false, true}) {
    const std::string mode = std::string(kind.name) + (overlapped ? " overlapped" : " stop-and-wait");
    const Holding reference = Reference(kind, overlapped);
    EXPECT_EQ(reference.checksum, kind.checksum) << mode;
    EXPECT_EQ(reference.version, kPayloadSoftwareVersion) << mode;
    EXPECT_EQ(reference.serial, before.Serial()) << mode;
    EXPECT_EQ(reference.fields, before.Fields()) << mode;
    if (kind.profile.mcu == 3) {
      EXPECT_EQ(reference.attributes, CatalogueAttributes()) << mode;
    }

    for (size_t c = 0; c < cells.size(); ++c) {
      const FaultCell& cell = cells[c];
      const bool unitFails = cell.fault == Fault::ResetInPass || cell.fault == Fault::SilentAfter;
      int runs = 0;
      if ((cell.fault == Fault::ErrorsToUnit || cell.fault == Fault::ErrorsToHost) && cell.rate >= 1e-4) runs = 2;
      if (cell.fault == Fault::StrayBytes) runs = 2;
      if (cell.fault == Fault::DroppedReplies || cell.fault == Fault::LateReplies) runs = 10;
      if (unitFails) runs = 1;
      if (runs == 0) continue;
      const CellCount n = RunCell(kind, k, cell, c, overlapped, runs, reference);
      const std::string what = mode + ", " + cell.name;
      EXPECT_EQ(n.runs, runs) << what;
      EXPECT_EQ(n.wrong, 0) << what;
      EXPECT_EQ(n.other, 0) << what;
      if (!unitFails) {
        EXPECT_EQ(n.completed, runs) << what;
        for (const auto& [run, message] : n.failedRuns) ADD_FAILURE() << what << ", run " << run << ": " << message;
      }
      if (unitFails) {
        EXPECT_EQ(n.failed, runs) << what;
        for (const auto& [message, count] : n.fatals) {
          EXPECT_EQ(message, "Unable to write new software") << what;
        }
      }
    }
  }
}

TEST(FaultMatrix, DisplayMcu2) { CheckKind(0); }
TEST(FaultMatrix, DisplayMcu3) { CheckKind(1); }
TEST(FaultMatrix, TransmitterSmall) { CheckKind(2); }
TEST(FaultMatrix, Transmitter128K) { CheckKind(3); }

}  // namespace
}  // namespace corv::faults
