// The strings-file procedure: EEPROM status, header tests, write order,
// read-back.
#include "unitdata/strings_file.h"

#include <array>

#include "payloads/catalogue.h"
#include "payloads/mcu_table.h"
#include "unitdata/strings_commands.h"
#include "unitdata/strings_writer.h"
#include "unitdata/unit_files.h"
#include "unitdata/unit_mode.h"

namespace corv {

namespace {

uint32_t BigEndianAt(const uint8_t* data, uint32_t length, uint32_t at, int count) {
  uint32_t v = 0;
  for (int i = 0; i < count; ++i) {
    const uint32_t k = at + static_cast<uint32_t>(i);
    v = (v << 8) | (k < length ? data[k] : 0);
  }
  return v;
}

bool WriteStrings(Link& link, const UnitInfo& info, const uint8_t* data, uint32_t length) {
  Context& ctx = link.ctx;
  Packet& p = link.packet;
  QuietTransfer quiet(ctx);
  const uint32_t startMs = ctx.clock.TickMs();
  const uint32_t startBytes = p.BytesSent();
  StringsBlockWriter writer(link, info.overlapped ? Mcu(info.mcuType).driveWindow : 0);

  std::array<uint8_t, kDriveBlockSize> erased;
  erased.fill(0xFF);
  if (!writer.Write(0, erased.data(), kDriveBlockSize)) return false;
  for (uint32_t offset = kDriveBlockSize; offset < length; offset += kDriveBlockSize) {
    if (!writer.Write(offset, data + offset, DriveBlockLength(offset, length))) return false;
    p.ProgressMarks(offset + DriveBlockLength(offset, length), length);
  }
  // The header goes only once every other block is known to be written: a
  // valid header over a file with a failed block would be taken as up to date
  // by every later run.
  if (!writer.Flush()) return false;
  if (length > 0) {
    if (!writer.Write(0, data, DriveBlockLength(0, length)) || !writer.Flush()) return false;
    p.ProgressMarks(length, length);
  }
  p.EndProgress();
  WriteTransferSummary(ctx.Detail(), "Bytes sent = ", p.BytesSent() - startBytes, ctx.clock.TickMs() - startMs);
  return true;
}

}  // namespace

bool UpdateStringsFile(Link& link, const UnitInfo& info, bool force, const uint8_t* data, uint32_t length,
                       bool& workingEeprom) {
  Context& ctx = link.ctx;
  workingEeprom = false;
  RequireFlashProgrammer(link);

  StringsAttributes unit;
  if (!GetStringFileAttributes(link, unit)) return false;
  ctx.Notice() << "  EEPROM:       " << Dec{unit.eepromStatus == 0 ? 8 : 128} << "K\r\n";
  if (unit.eepromStatus == 2) ctx.Notice() << "Warning: unit requires servicing (128K EEPROM failed)\r\n";
  workingEeprom = unit.eepromStatus == 1;
  if (!workingEeprom) return true;

  const uint32_t size = BigEndianAt(data, length, 0, 4);
  const uint32_t identWord = BigEndianAt(data, length, 4, 4);
  const uint16_t magic = static_cast<uint16_t>(BigEndianAt(data, length, 8, 2));
  const uint16_t identHalf = static_cast<uint16_t>(BigEndianAt(data, length, 10, 2));
  if (size != length) ctx.Notice() << "-- New corvanta string file size is incorrect\r\n";
  if (magic != kStringsMagic) ctx.Notice() << "-- New corvanta string file has incorrect magic number\r\n";
  if (size == unit.size && identWord == unit.identWord && magic == unit.magic && identHalf == unit.identHalf &&
      !force) {
    ctx.Notice() << "-- Corvanta string file is up to date\r\n";
    return true;
  }

  ctx.Notice() << "Updating Corvanta strings file...\r\n";
  if (!WriteStrings(link, info, data, length)) return false;
  ctx.Detail() << "OK - file has been updated\r\n";

  if (ctx.settings.verifyOn) {
    ctx.Notice() << "Verifying new files...\r\n";
    const auto block = [&](uint32_t offset, uint8_t n) { return ReadStringBlock(link, offset, data + offset, n); };
    if (!ReadBackInBlocks(link, length, block)) return false;
    ctx.Detail() << "OK - file has been verified\r\n";
  }
  return true;
}

bool UpdateImagesFile(Link& link, const UnitInfo& info) {
  const ByteBlock images = ImagesFile();
  return UpdateUnitFile(link, info, kImagesFileNumber, images.data, images.length);
}

bool UpdateFontFiles(Link& link, const UnitInfo& info) {
  for (const FontEntry& font : FontTable()) {
    if (!UpdateUnitFile(link, info, font.fileNumber, font.data, font.length)) return false;
  }
  return true;
}

}  // namespace corv
