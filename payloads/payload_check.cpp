// The payload check: walks an image stream record by record and compares every
// header value and count with the catalogue.
#include "payloads/payload_check.h"

#include <cstdio>
#include <cstring>

#include "payloads/crc32.h"
#include "payloads/image_stream.h"
#include "payloads/mcu_table.h"

namespace corv {
namespace {

std::string Problem(std::string_view file, const char* what, unsigned long found, unsigned long expected, bool hex) {
  char text[160];
  std::snprintf(text, sizeof text, hex ? "%s 0x%08lX, the catalogue has 0x%08lX" : "%s %lu, the catalogue has %lu", what, found,
                expected);
  return std::string(file) + ": " + text;
}

}  // namespace

std::string CheckImage(const ImageLayout& entry, const uint8_t* data, size_t size) {
  ImageStream s(data, size);
  uint32_t start = s.ReadStartAddress();
  uint32_t total = s.ReadTotalLength();
  if (s.Broken()) return Problem(entry.file, "stream too short for its header: size", size, entry.streamSize, false);
  if (start != entry.startAddress) return Problem(entry.file, "start address", start, entry.startAddress, true);
  if (total != entry.totalLength) return Problem(entry.file, "total length", total, entry.totalLength, false);

  // Only the MCU types that keep old fields in low flash need their area left
  // free; the others may put code where it would be.
  const McuRow& mcu = Mcu(entry.mcuType);
  uint32_t count = 0;
  uint32_t dataBytes = 0;
  uint64_t nextFree = 0;  // first address above the previous record
  ImageRecord r;
  while (s.NextRecord(r)) {
    if (count == 0 && r.address != entry.firstRecordAddress)
      return Problem(entry.file, "first record address", r.address, entry.firstRecordAddress, true);
    if (r.address % kRecordSpacing != 0)
      return Problem(entry.file, "record not at a multiple of 128: address", r.address, r.address & ~(kRecordSpacing - 1), true);
    if (count > 0 && r.address < nextFree)
      return Problem(entry.file, "record out of rising order: address", r.address, static_cast<unsigned long>(nextFree), true);
    if (r.length == 0 || r.length > kMaxRecordLength || (entry.fullRecords && r.length != kMaxRecordLength))
      return Problem(entry.file, "record length", r.length, kMaxRecordLength, false);
    uint64_t last = static_cast<uint64_t>(r.address) + r.length - 1;
    if (mcu.oldFieldsInFlash && r.address <= mcu.oldFieldsLast && last >= mcu.oldFieldsFirst)
      return Problem(entry.file, "record covers the old-fields area: address", r.address, mcu.oldFieldsFirst, true);
    nextFree = last + 1;
    dataBytes += r.length;
    ++count;
  }
  if (s.Broken()) return Problem(entry.file, "stream ends inside a record or without an end marker: size", size, entry.streamSize, false);
  if (count != entry.recordCount) return Problem(entry.file, "record count", count, entry.recordCount, false);
  if (dataBytes != entry.dataBytes) return Problem(entry.file, "data bytes", dataBytes, entry.dataBytes, false);
  if (s.Position() != entry.streamSize) return Problem(entry.file, "end marker ends the stream at", s.Position(), entry.streamSize, false);
  if (size != entry.streamSize) return Problem(entry.file, "file size", size, entry.streamSize, false);
  return {};
}

std::string CheckFile(const FileLayout& entry, const uint8_t* data, size_t size) {
  if (size != entry.length) return Problem(entry.file, "size", size, entry.length, false);
  if (size < entry.beginning.size() || std::memcmp(data, entry.beginning.data(), entry.beginning.size()) != 0)
    return std::string(entry.file) + ": does not begin with the catalogue's " + std::to_string(entry.beginning.size()) + " header bytes";
  return {};
}

uint32_t ImageDataCrc(const uint8_t* data, size_t size) {
  ImageStream s(data, size);
  s.ReadStartAddress();
  s.ReadTotalLength();
  uint32_t crc = 0;
  ImageRecord r;
  while (s.NextRecord(r)) crc = Crc32(r.data, r.length, crc);
  return crc;
}

}  // namespace corv
