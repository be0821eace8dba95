// The images file and the fourteen fonts over a line that damages bytes now
// and then, block by block and overlapped, with the read-back on.
#include "payloads/catalogue.h"
#include "sim/unit_data.h"
#include "tests/unitdata/unit_rig.h"
#include "unitdata/strings_file.h"

namespace corv::test {
namespace {

void SendOverNoisyLine(bool overlapped, uint64_t seed) {
  UnitRig rig(sim::DefaultProfile(), overlapped);
  rig.ctx.settings.verifyOn = true;
  rig.StartProgrammer();
  ASSERT_EQ(rig.info.overlapped, overlapped);
  rig.line.toFar.errorRate = 1e-4;
  rig.line.toFar.seed = seed;
  rig.line.toHost.errorRate = 1e-4;
  rig.line.toHost.seed = seed + 1;

  const int status = rig.ExitStatusOf([&] {
    EXPECT_TRUE(UpdateImagesFile(*rig.link, rig.info));
    EXPECT_TRUE(UpdateFontFiles(*rig.link, rig.info));
  });
  ASSERT_EQ(status, -1) << rig.Out().substr(rig.Out().size() > 2000 ? rig.Out().size() - 2000 : 0);
  const sim::UnitModel& unit = rig.unit.Model();
  const ByteBlock images = ImagesFile();
  EXPECT_EQ(unit.Attributes(kImagesFileNumber), sim::FileAttributes(images.data, images.length, true));
  for (const FontEntry& f : FontTable()) {
    EXPECT_EQ(unit.Attributes(f.fileNumber), sim::FileAttributes(f.data, f.length, true)) << int{f.fileNumber};
  }
  EXPECT_GT(unit.Counters().badFrames, 0u) << "the line did damage requests";
  EXPECT_TRUE(rig.Shows("!")) << "and some attempts failed";
  EXPECT_FALSE(rig.Shows("Fatal"));
}

TEST(NoisyLine, ImagesAndFontsArriveWhole) {
  SendOverNoisyLine(false, 11);
  SendOverNoisyLine(true, 21);
}

}  // namespace
}  // namespace corv::test
