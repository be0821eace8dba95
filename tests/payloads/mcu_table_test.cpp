// The MCU table against the catalogue it names payloads from, and the values
// the rest of the program takes from it.
#include "payloads/mcu_table.h"

#include <gtest/gtest.h>

#include "payloads/payload_table.h"

namespace corv {
namespace {

const ImageLayout& Layout(ImageName name) {
  for (const ImageLayout& l : kImageLayouts) {
    if (l.name == name) return l;
  }
  ADD_FAILURE() << "no layout";
  return kImageLayouts[0];
}
int LayoutMcu(ImageName name) { return Layout(name).mcuType; }

// Every payload a row names is built for that row's MCU type, and every
// window fits the ring of 9 slots.
TEST(McuTable, RowsAgreeWithTheCatalogue) {
  for (const McuRow& row : kMcuTable) {
    SCOPED_TRACE(int{row.type});
    EXPECT_TRUE(row.known);
    EXPECT_EQ(&Mcu(row.type), &row);
    for (const ProgrammerRow& p : row.programmers) {
      if (p.bootVersion == 0) continue;
      EXPECT_EQ(LayoutMcu(p.flash), row.type);
      if (p.strings) {
        EXPECT_EQ(LayoutMcu(*p.strings), row.type);
      }
    }
    for (const auto& image : {row.bootLoader, row.displaySoftware, row.transmitterSoftware,
                              row.transmitterSoftware128k}) {
      if (image) {
        EXPECT_EQ(LayoutMcu(*image), row.type);
      }
    }
    for (int window : {row.downloadWindow, row.flashWindow, row.driveWindow}) {
      EXPECT_GE(window, 1);
      EXPECT_LE(window, 8);
    }
    EXPECT_EQ(row.OldFieldsLength() % 128, 0u);
    // Software is only carried for a type the program writes.
    if (row.displaySoftware || row.transmitterSoftware) {
      EXPECT_TRUE(row.bootLoader);
      EXPECT_FALSE(row.refused);
    }
  }
}

TEST(McuTable, WhatTheTypesDifferIn) {
  // The flash page and the flash and download windows of types 2, 3 and 5
  // are read off the line by the flash tests (EachMcuTypesWindowAndPage, the
  // download's window in ProgrammerDownload.Overlapped), the flash drive's
  // window by UnitFile.EachMcuTypesWindow, type 2's fastest programming rate
  // by StepUpBaudRate.ProgrammingRateTable.
  EXPECT_TRUE(Mcu(1).refused);
  // Old fields: kept in flash only by types 1 and 2.
  EXPECT_TRUE(Mcu(2).oldFieldsInFlash);
  EXPECT_FALSE(Mcu(3).oldFieldsInFlash);
  EXPECT_FALSE(Mcu(5).oldFieldsInFlash);
  EXPECT_EQ(Mcu(2).oldFieldsFirst, 512u);
  EXPECT_EQ(Mcu(2).OldFieldsLength(), 128u);
  EXPECT_EQ(Mcu(5).oldFieldsFirst, 768u);
  EXPECT_EQ(Mcu(5).OldFieldsLength(), 256u);
  // Rates: the LPC programmers start at 115200.
  EXPECT_EQ(Mcu(2).programmerStartRate, 0);
  EXPECT_EQ(Mcu(3).programmerStartRate, 115200);
  EXPECT_EQ(Mcu(5).programmerStartRate, 115200);
  // Boot loaders older than the current release are replaced on types 2 and 3.
  EXPECT_EQ(Mcu(2).currentBootRelease, 5);
  EXPECT_EQ(Mcu(3).currentBootRelease, 9);
  EXPECT_EQ(Mcu(5).currentBootRelease, 0);

  // The boot-loader images whose CRC-32 tells a flash pass replaced the boot loader.
  EXPECT_EQ(Layout(*Mcu(2).bootLoader).crc, kBootLoaderCrcMcu2);
  EXPECT_EQ(Layout(*Mcu(3).bootLoader).crc, kBootLoaderCrcMcu3);
  EXPECT_EQ(Layout(*Mcu(5).bootLoader).crc, kBootLoaderCrcMcu5);
  EXPECT_FALSE(Mcu(1).bootLoader);

  // A type without a row: nothing known, the cautious transfer values.
  const McuRow& other = Mcu(4);
  EXPECT_FALSE(other.known);
  EXPECT_FALSE(other.refused);
  EXPECT_FALSE(other.bootLoader);
  EXPECT_EQ(other.downloadWindow, 1);
  EXPECT_EQ(other.flashWindow, 2);
  EXPECT_TRUE(other.answersBufferSize);
  EXPECT_FALSE(other.littleEndianWords);
}

}  // namespace
}  // namespace corv
