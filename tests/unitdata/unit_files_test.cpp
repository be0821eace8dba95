// Flash-drive files: attribute words, the up-to-date test, block layout,
// overlapped windows and acknowledgements, read-back and failures.
#include <algorithm>
#include <map>
#include <string>

#include "sim/unit_data.h"
#include "tests/common/frame_faults.h"
#include "tests/unitdata/frame_script.h"
#include "tests/unitdata/unit_rig.h"
#include "unitdata/file_attributes.h"
#include "unitdata/file_commands.h"
#include "unitdata/file_writer.h"
#include "unitdata/unit_files.h"

namespace corv::test {
namespace {

Bytes Pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 37 + (i >> 8));
  return b;
}

TEST(FileAttributes, WordsFollowTheMcuTypesByteOrder) {
  const Bytes five = {1, 2, 3, 4, 5};
  const FileAttributes be = ComputeFileAttributes(five.data(), 5, 2);
  EXPECT_EQ(be, (FileAttributes{5, 0x01020304, 0x05000000, 0x01020304, 0x05000000}));
  const FileAttributes le = ComputeFileAttributes(five.data(), 5, 3);
  EXPECT_EQ(le, (FileAttributes{5, 0x04030201, 0x00000005, 0x04030201, 0x00000005}));
  EXPECT_EQ(ComputeFileAttributes(five.data(), 0, 3), FileAttributes{});

  // 302 bytes: 76 words, the last padded with two zero bytes; the unit agrees.
  const Bytes data = Pattern(302, 9);
  for (uint8_t mcu : {2, 3, 5}) {
    const FileAttributes a = ComputeFileAttributes(data.data(), 302, mcu);
    const auto unit = sim::FileAttributes(data.data(), 302, sim::LittleEndianWords(mcu));
    EXPECT_EQ(a, (FileAttributes{unit[0], unit[1], unit[2], unit[3], unit[4]})) << int{mcu};
  }
}

TEST(UnitFile, SentOnlyWhenDifferentInBlocksOf128) {
  sim::UnitProfile profile = sim::DefaultProfile();
  const Bytes same = Pattern(700, 3);
  profile.files[0x51] = same;
  profile.files[0x52] = Pattern(10, 1);
  UnitRig rig(profile);
  rig.ctx.settings.verifyOn = true;
  rig.StartProgrammer();
  std::vector<uint16_t> writes;
  rig.line.writeLog = &writes;

  // A file the unit already holds is not sent, nor read back.
  EXPECT_TRUE(UpdateUnitFile(*rig.link, rig.info, 0x51, same.data(), 700));
  EXPECT_TRUE(rig.Shows("-- Corvanta file is up to date\n"));
  EXPECT_FALSE(rig.Shows("Updating Corvanta file"));
  EXPECT_FALSE(rig.Shows("Verifying"));
  EXPECT_EQ(rig.unit.Model().Counters().fileBlocks, 0u);

  // 302 bytes: blocks of 128, 128 and 46 (frames of 10 + n + 2 bytes).
  writes.clear();
  const Bytes data = Pattern(302, 5);
  EXPECT_TRUE(UpdateUnitFile(*rig.link, rig.info, 0x50, data.data(), 302));
  const std::vector<uint16_t> blocks = {140, 140, 58};
  EXPECT_NE(std::search(writes.begin(), writes.end(), blocks.begin(), blocks.end()), writes.end());
  EXPECT_EQ(rig.unit.Model().Counters().fileBlocks, 3u);
  EXPECT_EQ(rig.unit.Model().Files().at(0x50), data);
  EXPECT_TRUE(rig.Shows("Bytes sent = 338 : Time = "));
  EXPECT_TRUE(rig.Shows("Verifying new files...\n"));
  EXPECT_TRUE(rig.Shows("OK - file has been verified\n"));
  EXPECT_TRUE(rig.Shows("Bytes received = "));

  // A 0-byte file replacing a 10-byte one: created and closed, no block.
  EXPECT_TRUE(UpdateUnitFile(*rig.link, rig.info, 0x52, nullptr, 0));
  EXPECT_EQ(rig.unit.Model().Counters().fileBlocks, 3u);
  EXPECT_TRUE(rig.unit.Model().Files().at(0x52).empty());
  // ... and then the unit's empty file matches size 0 and zero sums.
  rig.console.ClearOutput();
  EXPECT_TRUE(UpdateUnitFile(*rig.link, rig.info, 0x52, nullptr, 0));
  EXPECT_TRUE(rig.Shows("-- Corvanta file is up to date\n"));
}

Bytes WriteAck(const Bytes& frame, uint32_t offset, uint8_t status = 0) {
  Bytes r = {1, 0x45, 0x10, 0x71, frame[4]};
  Put32(r, offset);
  r.push_back(frame[9]);
  r.push_back(status);
  return r;
}

TEST(UnitFile, OverlappedWindowAndCumulativeAcknowledgements) {
  const Bytes data = Pattern(384, 2);
  {
    SCOPED_TRACE("Window 2 (MCU type 2): the third block goes out only after the first is answered");
    ScriptRig rig(2, true);
    rig.script.replyDelayUs = 20000;
    rig.script.handler = [](const Bytes& f, uint64_t) {
      return std::vector<Bytes>{f[3] == 0x71 ? WriteAck(f, Get32(f, 5)) : Bytes{1, 0x45, f[2], f[3], 0}};
    };
    FileBlockWriter writer(*rig.link, 0x50, 2);
    for (uint32_t o = 0; o < 384; o += 128) ASSERT_TRUE(writer.Write(o, data.data() + o, 128));
    EXPECT_TRUE(writer.Flush());
    ASSERT_EQ(rig.script.frames.size(), 3u);
    EXPECT_LT(rig.script.arrivals[1], rig.script.arrivals[0] + 20000);
    EXPECT_GE(rig.script.arrivals[2], rig.script.arrivals[0] + 20000);
  }
  {
    SCOPED_TRACE("One acknowledgement for 256 releases 0, 128 and 256 at once");
    ScriptRig rig(3, true);
    rig.script.handler = [](const Bytes& f, uint64_t) {
      return Get32(f, 5) == 256 ? std::vector<Bytes>{WriteAck(f, 256)} : std::vector<Bytes>{};
    };
    FileBlockWriter writer(*rig.link, 0x50, 8);
    for (uint32_t o = 0; o < 384; o += 128) ASSERT_TRUE(writer.Write(o, data.data() + o, 128));
    EXPECT_TRUE(writer.Flush());
    EXPECT_EQ(writer.Outstanding(), 0);
    EXPECT_EQ(rig.script.frames.size(), 3u) << "nothing sent again";
    EXPECT_FALSE(rig.Shows("!"));
  }
  {
    // An acknowledgement for a block never sent proves nothing: the blocks
    // outstanding go out again.
    SCOPED_TRACE("An acknowledgement for a block never sent proves nothing");
    ScriptRig rig(2, true);
    std::map<uint32_t, int> asked;
    rig.script.handler = [&](const Bytes& f, uint64_t) {
      const uint32_t o = Get32(f, 5);
      const int n = ++asked[o];
      if (o == 0 && n == 1) return std::vector<Bytes>{WriteAck(f, 256)};
      if (o == 128 && n == 1) return std::vector<Bytes>{};
      return std::vector<Bytes>{WriteAck(f, o)};
    };
    FileBlockWriter writer(*rig.link, 0x50, 2);
    for (uint32_t o = 0; o < 384; o += 128) ASSERT_TRUE(writer.Write(o, data.data() + o, 128));
    EXPECT_TRUE(writer.Flush());
    EXPECT_EQ(asked[0], 2) << "block 0 was sent again";
    EXPECT_EQ(asked[128], 2);
    EXPECT_TRUE(rig.Shows("!"));
  }
}

TEST(UnitFile, HardwareFailureDuringOverlappedWriting) {
  UnitRig rig(sim::DefaultProfile(), true);
  rig.StartProgrammer();
  ASSERT_TRUE(rig.info.overlapped);
  rig.unit.Model().faults.fileBlockResult[2] = 0x33;
  const Bytes data = Pattern(1000, 8);
  EXPECT_FALSE(UpdateUnitFile(*rig.link, rig.info, 0x50, data.data(), 1000));
  EXPECT_TRUE(rig.Shows("\nUnit reported hardware failure, cannot write to flash drive. Address=$00000080, Result=33\n"));
  EXPECT_FALSE(rig.Shows("OK - file has been updated"));
}

// The flash drive's window of each MCU type, as the unit sees it when it
// acknowledges no block: the blocks that reach it back to back, before the
// first time-out sends one again.
TEST(UnitFile, EachMcuTypesWindow) {
  for (const auto& [mcu, window] : {std::pair<uint8_t, size_t>{2, 2}, {3, 8}, {5, 8}}) {
    SCOPED_TRACE("MCU type " + std::to_string(mcu));
    sim::UnitProfile profile = mcu == 2 ? sim::DisplayMcu2Profile() : sim::DefaultProfile();
    profile.mcu = mcu;
    UnitRig rig(profile, true);
    rig.StartProgrammer();
    ASSERT_TRUE(rig.info.overlapped);
    testing::LoseRepliesTo(rig.unit.Model(), "programmer: 1071");
    std::vector<uint32_t> arrivals;
    testing::OnFrame(rig.unit.Model(), "programmer: 1071", [&] { arrivals.push_back(rig.clock.TickMs()); });
    const Bytes data = Pattern(12 * 128, 9);
    EXPECT_FALSE(UpdateUnitFile(*rig.link, rig.info, 0x50, data.data(), 12 * 128));
    size_t backToBack = 1;
    while (backToBack < arrivals.size() && arrivals[backToBack] - arrivals[backToBack - 1] < 500) ++backToBack;
    EXPECT_EQ(backToBack, window);
  }
}

TEST(UnitFile, ReadBackComparesOnlyIntactMatchingReplies) {
  UnitRig rig(sim::DefaultProfile());
  rig.StartProgrammer();
  const Bytes data = Pattern(256, 4);
  ASSERT_TRUE(UpdateUnitFile(*rig.link, rig.info, 0x50, data.data(), 256));

  // A data byte damaged on the line: the frame check fails, the block is asked
  // for again and the read-back goes on.
  rig.console.ClearOutput();
  rig.line.toHost.corruptAt = {rig.line.BytesToHost() + 40};
  EXPECT_TRUE(ReadFileBlock(*rig.link, 0x50, 0, data.data(), 128));
  EXPECT_TRUE(rig.Shows("!"));
  EXPECT_FALSE(rig.Shows("Verify file failed"));

  // What the drive really holds differs: fatal.
  Bytes other = data;
  other[128 + 17] ^= 0x40;
  EXPECT_EQ(rig.ExitStatusOf([&] { ReadFileBlock(*rig.link, 0x50, 128, other.data() + 128, 128); }), 1);
  EXPECT_TRUE(rig.Shows("Fatal Error: Verify file failed at 00000080\n"));
}

TEST(UnitFile, ReadReplyUnderTheRequestCodeIsRefused) {
  ScriptRig rig(3);
  const Bytes data = Pattern(16, 1);
  rig.script.handler = [&](const Bytes& f, uint64_t) {
    Bytes r = {1, 0x45, 0x10, 0x62, f[4]};  // should be 0x1061
    Put32(r, Get32(f, 5));
    r.push_back(f[9]);
    r.insert(r.end(), data.begin(), data.end());
    return std::vector<Bytes>{r};
  };
  EXPECT_FALSE(ReadFileBlock(*rig.link, 0x50, 0, data.data(), 16));
  // 20 attempts; after each refused reply the next one waits for another
  // reply before the request goes out again.
  EXPECT_EQ(rig.script.frames.size(), 10u);
  EXPECT_EQ(Count(rig.console.Output(), "!"), 20u);
}

// The unit closes the file on the first request, but its reply is lost; the
// request sent again finds the file closed ("not open", a status each unit
// chooses: 3 here). The file then holds what was written, so the close is done.
TEST(UnitFile, CloseWhoseReplyWasLost) {
  sim::UnitProfile profile = sim::DefaultProfile();
  profile.notOpenStatus = 3;
  UnitRig rig(profile);
  rig.ctx.settings.verifyOn = true;
  rig.StartProgrammer();
  // The first request of both closes, after writing and after verifying.
  testing::LoseRepliesTo(rig.unit.Model(), "programmer: 1080", [](int n) { return n % 2 == 1; });
  const Bytes data = Pattern(700, 6);
  EXPECT_TRUE(UpdateUnitFile(*rig.link, rig.info, 0x50, data.data(), 700)) << rig.Out();
  EXPECT_EQ(rig.unit.Model().Files().at(0x50), data);
  EXPECT_EQ(Count(rig.Out(), "CloseFile:50\nGetFileAttributes:50\nOK - GetFileAttributes\nOK - CloseFile\n"), 2u)
      << rig.Out();
  EXPECT_TRUE(rig.Shows("OK - file has been updated\n"));
  EXPECT_TRUE(rig.Shows("OK - file has been verified\n"));
  EXPECT_EQ(rig.unit.Model().Counters().commands.at(0x1080), 4u);
}

// Only a failure after a lost reply, and only with the file as written, is a
// close, whatever status the unit gives; every other failure stays fatal.
TEST(UnitFile, CloseAnsweredNotOpenIsCheckedAgainstWhatWasWritten) {
  const Bytes data = Pattern(300, 3);
  const FileAttributes written = ComputeFileAttributes(data.data(), 300, 3);
  FileAttributes other = written;
  other.oddXor ^= 1;
  struct Case {
    const char* name;
    bool firstLost;       // the first close goes unanswered
    uint8_t status;       // the answer then
    FileAttributes held;  // what the unit reports for the file
    const char* fatal;    // nullptr: closed
    size_t attributeRequests;
  } cases[] = {
      {"lost, then not open, file whole", true, 1, written, nullptr, 1},
      {"lost, then not open, file differs", true, 1, other, "Error closing file:01", 1},
      {"not open at once", false, 1, written, "Error closing file:01", 0},
      {"lost, then another status, file whole", true, 3, written, nullptr, 1},
      {"lost, then another status, file differs", true, 3, other, "Error closing file:03", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptRig rig(3);
    int closes = 0;
    size_t attributeRequests = 0;
    rig.script.handler = [&](const Bytes& f, uint64_t) {
      if (f[3] == 0x82) {
        ++attributeRequests;
        Bytes r = {1, 0x45, 0x10, 0x82, 0};
        for (uint32_t w : {c.held.size, c.held.evenSum, c.held.oddSum, c.held.evenXor, c.held.oddXor}) Put32(r, w);
        return std::vector<Bytes>{r};
      }
      if (++closes == 1 && c.firstLost) return std::vector<Bytes>{};
      return std::vector<Bytes>{Bytes{1, 0x45, 0x10, 0x80, c.status}};
    };
    const int status = testing::StatusOf([&] { EXPECT_TRUE(CloseFile(*rig.link, 0x50, written)); }, -1);
    EXPECT_EQ(attributeRequests, c.attributeRequests);
    if (!c.fatal) {
      EXPECT_EQ(status, -1);
      EXPECT_TRUE(rig.Shows("OK - CloseFile\n"));
    } else {
      EXPECT_EQ(status, 1);
      EXPECT_TRUE(rig.Shows(std::string("Fatal Error: ") + c.fatal + "\n")) << rig.console.Output();
    }
  }
}

// A reply that comes after the request was sent again answers the first
// request; the reply to the second one follows it. Each block waits for its own
// reply behind such a late one instead of sending again, so that a late reply
// costs one time-out and one reply set aside; sending again put every later
// block one more reply behind, until a block ran out of attempts.
TEST(UnitFile, LateRepliesDoNotPutLaterBlocksBehind) {
  struct Case {
    const char* name;
    const char* frame;
  } cases[] = {{"writing", "programmer: 1071"}, {"reading back", "programmer: 1062"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UnitRig rig(sim::DefaultProfile());
    rig.ctx.settings.verifyOn = true;
    rig.StartProgrammer();
    // 30 replies of the 200 blocks come 1.2 s late, past the 1 s time-out.
    testing::DelayRepliesTo(rig.unit.Model(), c.frame, [](int n) { return n % 5 == 2 && n < 150; }, 1200000);
    const Bytes data = Pattern(200 * 128, 7);
    EXPECT_TRUE(UpdateUnitFile(*rig.link, rig.info, 0x50, data.data(), 200 * 128)) << c.name;
    EXPECT_EQ(rig.unit.Model().Files().at(0x50), data);
    EXPECT_TRUE(rig.Shows("OK - file has been verified\n"));
    // One time-out, one request sent again and one reply set aside per late reply.
    EXPECT_EQ(Count(rig.Out(), "!"), 60u);
    const uint16_t code = static_cast<uint16_t>(std::stoi(c.frame + 12, nullptr, 16));
    EXPECT_EQ(rig.unit.Model().Counters().commands.at(code), 200u + 30u);
  }
}

}  // namespace
}  // namespace corv::test
