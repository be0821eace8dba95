// The payload check: walks an image stream record by record and compares every
// header value and count with the catalogue.
#include "payloads/payload_check.h"

#include <cstdio>
#include <cstring>

#include "payloads/crc32.h"
#include "payloads/image_stream.h"

namespace corv {
namespace {

std::string Problem(std::string_view file, const char* what, unsigned long found, unsigned long expected, bool hex) {
  char text[160];
  std::snprintf(text, sizeof text, hex ? "%s 0x%08lX, the catalogue has 0x%08lX" : "%s %lu, the catalogue has %lu", what, found,
                expected);
  return std::string(file) + ": " + text;
}

}  // namespace

std::string CheckImage(const ImageSpec& spec, const uint8_t* data, size_t size) {
  ImageStream s(data, size);
  uint32_t start = s.ReadStartAddress();
  uint32_t total = s.ReadTotalLength();
  if (s.Broken()) return Problem(spec.file, "stream too short for its header: size", size, spec.streamSize, false);
  if (start != spec.startAddress) return Problem(spec.file, "start address", start, spec.startAddress, true);
  if (total != spec.totalLength) return Problem(spec.file, "total length", total, spec.totalLength, false);

  const AddressRange oldFields = OldFieldsArea(spec.mcuType);
  uint32_t count = 0;
  uint32_t dataBytes = 0;
  uint64_t nextFree = 0;  // first address above the previous record
  ImageRecord r;
  while (s.NextRecord(r)) {
    if (count == 0 && r.address != spec.firstRecordAddress)
      return Problem(spec.file, "first record address", r.address, spec.firstRecordAddress, true);
    if (r.address % kRecordSpacing != 0)
      return Problem(spec.file, "record not at a multiple of 128: address", r.address, r.address & ~(kRecordSpacing - 1), true);
    if (count > 0 && r.address < nextFree)
      return Problem(spec.file, "record out of rising order: address", r.address, static_cast<unsigned long>(nextFree), true);
    if (r.length == 0 || r.length > kMaxRecordLength || (spec.fullRecords && r.length != kMaxRecordLength))
      return Problem(spec.file, "record length", r.length, kMaxRecordLength, false);
    uint64_t last = static_cast<uint64_t>(r.address) + r.length - 1;
    if (r.address <= oldFields.last && last >= oldFields.first)
      return Problem(spec.file, "record covers the old-fields area: address", r.address, oldFields.first, true);
    nextFree = last + 1;
    dataBytes += r.length;
    ++count;
  }
  if (s.Broken()) return Problem(spec.file, "stream ends inside a record or without an end marker: size", size, spec.streamSize, false);
  if (count != spec.recordCount) return Problem(spec.file, "record count", count, spec.recordCount, false);
  if (dataBytes != spec.dataBytes) return Problem(spec.file, "data bytes", dataBytes, spec.dataBytes, false);
  if (s.Position() != spec.streamSize) return Problem(spec.file, "end marker ends the stream at", s.Position(), spec.streamSize, false);
  if (size != spec.streamSize) return Problem(spec.file, "file size", size, spec.streamSize, false);
  return {};
}

std::string CheckFile(const FileSpec& spec, const uint8_t* data, size_t size) {
  if (size != spec.length) return Problem(spec.file, "size", size, spec.length, false);
  if (size < spec.beginning.size() || std::memcmp(data, spec.beginning.data(), spec.beginning.size()) != 0)
    return std::string(spec.file) + ": does not begin with the catalogue's " + std::to_string(spec.beginning.size()) + " header bytes";
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
