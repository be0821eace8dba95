// Number writing and reading on character streams, and the text sinks.
#include <gtest/gtest.h>

#include "support/stream.h"

namespace corv {
namespace {

std::string Written(auto piece) {
  TextStream t;
  t << piece;
  return t.Text();
}

TEST(StreamWriters, NumbersAndTexts) {
  EXPECT_EQ(Written(Hex{0x1A, 2}), "1A");
  EXPECT_EQ(Written(Hex{0x1A, 8}), "0000001A");
  EXPECT_EQ(Written(Hex{0xABCDEF12, 4}), "EF12");
  EXPECT_EQ(Written(Dec{-12}), "-12");
  EXPECT_EQ(Written(Dec{0}), "0");
  EXPECT_EQ(Written(Dec{INT32_MIN}), "-2147483648");
  EXPECT_EQ(Written(Dec{45, 6}), "000045");
  EXPECT_EQ(Written(Dec{7, 2}), "07");
  EXPECT_EQ(Written(Dec{123, 2}), "123");
  EXPECT_EQ(Written(Padded{"ab", 5}), "   ab");
  EXPECT_EQ(Written(Padded{"abcdef", 3}), "abcdef");
  EXPECT_EQ(VersionText(510), "5.10");
  EXPECT_EQ(VersionText(405), "4.05");
  EXPECT_EQ(VersionText(5), "0.05");

  TextStream be;
  WriteBigEndian(be, 0x01020304, 4);
  WriteBigEndian(be, 0xA1B2, 2);
  WriteBigEndian(be, 0xFF, 1);
  EXPECT_EQ(be.Text(), std::string("\x01\x02\x03\x04\xA1\xB2\xFF", 7));
}

TEST(StreamWriters, TextAtIndexAndMemory) {
  std::string text = "abcdef";
  TextAtIndex at(text, 4);
  at << "XYZ";
  EXPECT_EQ(text, "abcdXYZ");
  TextAtIndex app(text, -1);
  app << "12";
  EXPECT_EQ(text, "abcdXYZ12");
  EXPECT_EQ(app.Index(), -1);

  uint8_t mem[4] = {};
  uint8_t* cursor = mem;
  MemorySink sink(cursor);
  WriteBigEndian(sink, 0xCAFE, 2);
  EXPECT_EQ(cursor, mem + 2);
  const uint8_t* rc = mem;
  MemorySource src(rc);
  EXPECT_EQ(ReadBigEndian(src, 2), 0xCAFEu);
}

TEST(StreamReaders, DecimalRule) {
  EXPECT_EQ(DecimalValue("  -12x"), -12);
  EXPECT_EQ(DecimalValue("abc"), 0);
  EXPECT_EQ(DecimalValue("\t 38400"), 38400);
  EXPECT_EQ(DecimalValue("12a"), 12);
  EXPECT_EQ(DecimalValue(""), 0);
  EXPECT_EQ(DecimalValue("-"), 0);
  // The character after the digits is consumed, the rest left.
  TextSource s("7,9");
  EXPECT_EQ(ReadDecimal(s), 7);
  EXPECT_EQ(ReadDecimal(s), 9);
}

TEST(StreamReaders, HexRule) {
  TextSource a("0x1F7");
  EXPECT_EQ(ReadHex(a, 1), 0x1Fu);
  TextSource b("$A5");
  EXPECT_EQ(ReadHex(b, 1), 0xA5u);
  TextSource c("  0a");  // a leading zero without x is the first digit
  EXPECT_EQ(ReadHex(c, 1), 0x0Au);
  TextSource d("deadBEEF99");
  EXPECT_EQ(ReadHex(d, 4), 0xDEADBEEFu);
  TextSource e("12g4");
  EXPECT_EQ(ReadHex(e, 2), 0x12u);
  TextSource f("zz");
  EXPECT_EQ(ReadHex(f, 4), 0u);
  // Exactly 2n digits are taken and nothing after them, so the next read starts
  // right behind.
  TextSource g("ABCD");
  EXPECT_EQ(ReadHex(g, 1), 0xABu);
  EXPECT_EQ(ReadHex(g, 1), 0xCDu);
}

}  // namespace
}  // namespace corv
