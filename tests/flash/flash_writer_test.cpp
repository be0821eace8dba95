// Writing images into flash: the block commands, the sequenced overlapped
// writes with their cumulative acknowledgements and resends, the old-fields
// hook, the unit's failure codes, and the port saved after a write.
#include <gtest/gtest.h>

#include "flash/boot_commands.h"
#include "flash/flash_target.h"
#include "flash/flash_writer.h"
#include "platform/hive_file.h"
#include "tests/flash/flash_rig.h"

namespace corv::test {
namespace {

// A programmer running at 115200 on a unit of MCU type `mcu`, its flash page
// as the type has it.
void Programmer(Rig& rig, bool overlapped, uint8_t mcu = 3) {
  rig.BootLoaderUnit(mcu);
  rig.link.softwareMode = modeFlashProgrammer;
  SelectFlashTarget(rig.link, rig.info);
  rig.info.overlapped = overlapped;
  rig.Open(115200);
}

TestImage Blocks(int n, uint32_t first = 0) {
  TestImage im(0x4040, 128u * static_cast<uint32_t>(n));
  for (int i = 0; i < n; ++i) im.Record(first + 128u * static_cast<uint32_t>(i), 128, static_cast<uint8_t>(i));
  return im;
}

// The "!" of failed attempts (the notice line has one of its own).
size_t Attempts(const Rig& rig) { return rig.CountOf("!") - rig.CountOf("power!)"); }

std::vector<uint32_t> Sequences(const ScriptedUnit& u) {
  std::vector<uint32_t> r;
  for (const Frame& f : u.Of(0x1031)) r.push_back(f.At(4, 2));
  return r;
}

// The reply to a sequenced block, for the sequence number given.
std::vector<uint8_t> SequencedReply(const Frame& f, uint16_t sequence, uint8_t result = 0) {
  std::vector<uint8_t> r(f.bytes.begin(), f.bytes.begin() + 11);
  r[4] = static_cast<uint8_t>(sequence >> 8);
  r[5] = static_cast<uint8_t>(sequence);
  r.push_back(result);
  return r;
}

TEST(FlashWriting, BlockByBlock) {
  {
    SCOPED_TRACE("a page and a record past it, block by block");
    Rig rig;
    Programmer(rig, false);
    TestImage im(0x4040, 257);
    im.Record(0, 128).Record(128, 129);
    ASSERT_TRUE(WriteImage(rig.link, rig.info, im.Stream()));
    ASSERT_EQ(rig.unit.count[0x1030], 1);
    ASSERT_EQ(rig.unit.count[0x1040], 1);
    EXPECT_EQ(rig.unit.Of(0x1030)[0].At(8, 1), 128u);
    EXPECT_EQ(rig.unit.Of(0x1040)[0].At(8, 2), 129u);
    EXPECT_EQ(rig.unit.Of(0x1040)[0].bytes.size(), 10u + 129);
    EXPECT_TRUE(rig.Has("Updating Corvanta software (do not turn off the power!)...\nWriting to flash\n" +
                        std::string(60, '.') + "\nBytes sent = 280 : Time = "));
    EXPECT_TRUE(rig.Has("OK - Flash has been updated\n"));
    EXPECT_TRUE(rig.ctx.settings.traceEnabled);
    EXPECT_EQ(RegGetMachineString(kSavedPortPath), "3");
  }
  {
    // A lost reply costs one attempt; a unit failure code ends the write.
    SCOPED_TRACE("A lost reply costs one attempt");
    Rig rig;
    Programmer(rig, false);
    int seen = 0;
    rig.unit.intercept = [&](const Frame& f) {
      if (f.Code() != 0x1030) return false;
      ++seen;
      if (seen == 1) return true;
      if (f.At(4, 4) != 256) return false;
      std::vector<uint8_t> r(f.bytes.begin(), f.bytes.begin() + 9);
      r.push_back(0x05);
      rig.unit.Reply(f, r);
      return true;
    };
    TestImage im = Blocks(4);
    EXPECT_FALSE(WriteImage(rig.link, rig.info, im.Stream()));
    EXPECT_EQ(seen, 4);  // 0 twice, 128, 256; nothing after the failure
    EXPECT_TRUE(rig.Has("Error:05\n"));
    EXPECT_EQ(Attempts(rig), 1u);
    EXPECT_FALSE(rig.Has("OK - Flash has been updated"));
    EXPECT_FALSE(rig.ctx.settings.traceEnabled);
    EXPECT_EQ(RegGetMachineString(kSavedPortPath), "");
  }
  {
    SCOPED_TRACE("a block never answered: 20 attempts, then failure");
    Rig rig;
    Programmer(rig, false);
    rig.unit.intercept = [](const Frame& f) { return f.Code() == 0x1030 && f.At(4, 4) == 128; };
    TestImage im = Blocks(3);
    EXPECT_FALSE(WriteImage(rig.link, rig.info, im.Stream()));
    EXPECT_EQ(rig.unit.count[0x1030], 1 + 20);
  }
  {
    SCOPED_TRACE("An image that holds nothing writes nothing and still succeeds");
    Rig rig;
    Programmer(rig, true);
    TestImage im(0, 0);
    ASSERT_TRUE(WriteImage(rig.link, rig.info, im.Stream()));
    EXPECT_TRUE(rig.unit.frames.empty());
    EXPECT_TRUE(rig.Has("Bytes sent = 0 : "));
  }
}

TEST(FlashWriting, OverlappedAcknowledgements) {
  {
    // Blocks 3 and 4 get no reply of their own; the reply for 5 covers them.
    SCOPED_TRACE("Blocks 3 and 4 get no reply of their own");
    Rig rig;
    Programmer(rig, true);
    rig.unit.intercept = [](const Frame& f) {
      if (f.Code() != 0x1031) return false;
      const uint32_t seq = f.At(4, 2);
      return seq == 3 || seq == 4;
    };
    TestImage im = Blocks(12);
    ASSERT_TRUE(WriteImage(rig.link, rig.info, im.Stream()));
    std::vector<uint32_t> expect;
    for (uint32_t i = 0; i < 12; ++i) expect.push_back(i);
    EXPECT_EQ(Sequences(rig.unit), expect);
    EXPECT_EQ(Attempts(rig), 0u);
    std::vector<uint32_t> addresses;
    for (const Frame& f : rig.unit.Of(0x1031)) addresses.push_back(f.At(6, 4));
    EXPECT_EQ(addresses[11], 11u * 128);
  }
  {
    // A damaged reply with nothing behind it: every block in flight goes out
    // again with its own number.
    SCOPED_TRACE("A damaged reply with nothing behind it");
    Rig rig;
    Programmer(rig, true);
    bool first = true;
    rig.unit.intercept = [&](const Frame& f) {
      if (f.Code() != 0x1031) return false;
      if (!first) return false;
      if (f.At(4, 2) == 2) {
        first = false;
        rig.unit.corruptNext = true;
        rig.unit.Reply(f, SequencedReply(f, 2));
      }
      return true;  // 0 and 1 unanswered the first time
    };
    TestImage im = Blocks(3);
    ASSERT_TRUE(WriteImage(rig.link, rig.info, im.Stream()));
    EXPECT_EQ(Sequences(rig.unit), (std::vector<uint32_t>{0, 1, 2, 0, 1, 2}));
    EXPECT_EQ(Attempts(rig), 1u);
  }
  {
    SCOPED_TRACE("A well-formed reply for an older number costs an attempt, no resend");
    Rig rig;
    Programmer(rig, true);
    rig.unit.intercept = [&](const Frame& f) {
      if (f.Code() != 0x1031) return false;
      const auto seq = static_cast<uint16_t>(f.At(4, 2));
      rig.unit.Reply(f, SequencedReply(f, seq));
      if (seq == 1) rig.unit.Reply(f, SequencedReply(f, 0), 300);  // a duplicate for block 0
      return true;
    };
    TestImage im = Blocks(4);
    ASSERT_TRUE(WriteImage(rig.link, rig.info, im.Stream()));
    EXPECT_EQ(Sequences(rig.unit), (std::vector<uint32_t>{0, 1, 2, 3}));
    EXPECT_EQ(Attempts(rig), 1u);
  }
  {
    // A reply numbered beyond the newest block sent (left from an earlier
    // image) acknowledges nothing: the blocks are only released by their own
    // replies after the resend.
    SCOPED_TRACE("A reply numbered beyond the newest block sent acknowledges nothing");
    Rig rig;
    Programmer(rig, true);
    int firstRound = 2;
    rig.unit.intercept = [&](const Frame& f) {
      if (f.Code() != 0x1031) return false;
      if (firstRound > 0 && --firstRound == 0) rig.unit.Reply(f, SequencedReply(f, 7));
      return firstRound >= 0 && rig.unit.count[0x1031] <= 2;
    };
    TestImage im = Blocks(2);
    ASSERT_TRUE(WriteImage(rig.link, rig.info, im.Stream()));
    EXPECT_EQ(Sequences(rig.unit), (std::vector<uint32_t>{0, 1, 0, 1}));
    EXPECT_EQ(Attempts(rig), 2u);  // the stale reply, then the silence
  }
  {
    SCOPED_TRACE("The unit's failure code for a block in flight");
    Rig rig;
    Programmer(rig, true);
    rig.unit.intercept = [&](const Frame& f) {
      if (f.Code() != 0x1031 || f.At(4, 2) != 2) return false;
      rig.unit.Reply(f, SequencedReply(f, 2, 0x05));
      return true;
    };
    TestImage im = Blocks(6);
    EXPECT_FALSE(WriteImage(rig.link, rig.info, im.Stream()));
    EXPECT_TRUE(rig.Has("\nUnit reported hardware failure, cannot write to flash memory. Address=$00000100, Result=05\n"));
    EXPECT_FALSE(rig.Has("OK - Flash has been updated"));
    EXPECT_EQ(RegGetMachineString(kSavedPortPath), "");
  }
  {
    // MCU type 2: two blocks in flight at most. A unit that answers nothing
    // until its third block sees the first two again, not a third one.
    SCOPED_TRACE("MCU type 2: two blocks in flight at most");
    Rig rig;
    Programmer(rig, true, 2);
    rig.unit.intercept = [&](const Frame& f) { return f.Code() == 0x1031 && rig.unit.count[0x1031] <= 2; };
    TestImage im = Blocks(4);
    ASSERT_TRUE(WriteImage(rig.link, rig.info, im.Stream()));
    EXPECT_EQ(Sequences(rig.unit), (std::vector<uint32_t>{0, 1, 0, 1, 2, 3}));
  }
}

// What each MCU type writes its flash with, as the line shows it: the blocks
// in flight at most in overlapped mode (those sent before the first goes out
// again, when the unit acknowledges none), and the blocks of the first page
// (written before the old-fields hook runs).
TEST(FlashWriting, EachMcuTypesWindowAndPage) {
  struct Case {
    uint8_t mcu;
    size_t window;
    size_t firstPageBlocks;  // of 128 bytes
  };
  for (const Case c : {Case{2, 2, 1}, Case{3, 8, 2}, Case{5, 8, 2}}) {
    SCOPED_TRACE("MCU type " + std::to_string(c.mcu));
    {
      Rig rig;
      Programmer(rig, true, c.mcu);
      rig.unit.intercept = [](const Frame& f) { return f.Code() == 0x1031; };
      TestImage im = Blocks(12);
      EXPECT_FALSE(WriteImage(rig.link, rig.info, im.Stream()));
      const std::vector<uint32_t> sent = Sequences(rig.unit);
      ASSERT_GT(sent.size(), c.window);
      for (size_t i = 0; i <= c.window; ++i) EXPECT_EQ(sent[i], i % c.window) << i;
    }
    Rig rig;
    Programmer(rig, false, c.mcu);
    size_t blocksBefore = 0;
    TestImage im = Blocks(4);
    ASSERT_TRUE(WriteImage(rig.link, rig.info, im.Stream(), [&] { return blocksBefore = rig.unit.count[0x1030], true; }));
    EXPECT_EQ(blocksBefore, c.firstPageBlocks);
  }
}

TEST(FlashWriting, OldFieldsHook) {
  for (bool overlapped : {false, true}) {
    // Blocks at 0, 128, 256, 384 on a page of 256: the hook runs once, after
    // the first two are acknowledged and before the third is sent. Its own
    // exchange must get its own reply, so no acknowledgement may be pending.
    Rig rig;
    Programmer(rig, overlapped);
    rig.unit.intercept = [&](const Frame& f) {
      if (f.Code() == 0x1031) {
        rig.unit.Reply(f, SequencedReply(f, static_cast<uint16_t>(f.At(4, 2))), 20000);  // slow replies
        return true;
      }
      return false;
    };
    int calls = 0;
    size_t blocksBefore = 0;
    const FlashHook hook = [&] {
      ++calls;
      blocksBefore = rig.unit.count[overlapped ? 0x1031 : 0x1030];
      rig.unit.intercept = nullptr;
      return ExternalMemoryStart(rig.link);
    };
    TestImage im = Blocks(4);
    ASSERT_TRUE(WriteImage(rig.link, rig.info, im.Stream(), hook)) << overlapped;
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(blocksBefore, 2u);
    EXPECT_EQ(Attempts(rig), 0u);
    EXPECT_EQ(rig.unit.count[0x1091], 1);
  }
  {
    // No record below the page size: no hook.
    SCOPED_TRACE("No record below the page size");
    Rig rig;
    Programmer(rig, true);
    int calls = 0;
    TestImage im = Blocks(3, 0x4000);
    ASSERT_TRUE(WriteImage(rig.link, rig.info, im.Stream(), [&] { return ++calls, true; }));
    EXPECT_EQ(calls, 0);
  }
  {
    SCOPED_TRACE("A failing hook fails the write before anything beyond the first page");
    Rig rig;
    Programmer(rig, false);
    TestImage im = Blocks(4);
    EXPECT_FALSE(WriteImage(rig.link, rig.info, im.Stream(), [] { return false; }));
    EXPECT_EQ(rig.unit.count[0x1030], 2);
  }
  {
    SCOPED_TRACE("An image that ends inside the first page still gets the fields back");
    Rig rig;
    Programmer(rig, true);
    int calls = 0;
    TestImage im = Blocks(2);
    ASSERT_TRUE(WriteImage(rig.link, rig.info, im.Stream(), [&] { return ++calls, true; }));
    EXPECT_EQ(calls, 1);
  }
}

}  // namespace
}  // namespace corv::test
