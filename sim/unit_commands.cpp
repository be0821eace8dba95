// The unit model's command handlers: what the running software, the boot
// loader and the flash programmer do with each command and what they answer.
#include <algorithm>
#include <cstring>

#include "sim/unit_bytes.h"
#include "sim/unit_data.h"
#include "sim/unit_model.h"

namespace corv::sim {

namespace {

// The set-baud-rate index, 1 to 9.
constexpr int32_t kRates[10] = {0, 9600, 19200, 38400, 57600, 115200, 128000, 230400, 460800, 921600};

uint8_t CurrentRelease(int mcu) { return mcu == 2 ? 5 : 9; }

}  // namespace

int UnitModel::ResultFor(uint16_t code, int own) const {
  const auto it = profile_.forcedResult.find(code);
  return it == profile_.forcedResult.end() ? own : it->second;
}

void UnitModel::Software(const Frame& f, uint16_t code, uint64_t atUs) {
  const uint8_t a = f[0];
  std::vector<uint8_t> r = Header(a, code);
  switch (code) {
    case 0x1010:
      Add16(r, profile_.card);
      Add16(r, profile_.circuit);
      Add16(r, version_);
      Add16(r, profile_.product);
      Reply(atUs, r, profile_.commandUs);
      return;
    case 0x1011: {
      const uint64_t end = Reply(atUs, r, profile_.commandUs);
      Restart(end, true, false);
      return;
    }
    case 0x1015: {
      if (version_ < 220) return;  // software before V2.20 has no extended information
      const size_t text = std::min<size_t>(profile_.info.size(), 255);
      Add8(r, profile_.extRecordLength);
      Add8(r, text > 0 ? 1 : 0);
      Add16(r, profile_.maskFt);
      Add16(r, profile_.maskRt);
      Add16(r, profile_.maskNew);
      Add32(r, Serial());
      Add8(r, profile_.pmoduleType);
      Add32(r, profile_.pmoduleSerial);
      Add16(r, profile_.pmoduleVersion);
      for (uint8_t b : profile_.buildTime) Add8(r, b);
      Add8(r, static_cast<uint32_t>(text));
      for (int i = 24; i < profile_.extRecordLength; ++i) Add8(r, 0);
      Reply(atUs, r, profile_.commandUs);
      return;
    }
    case 0x1016: {
      if (version_ < 220) return;
      const size_t text = std::min<size_t>(profile_.info.size(), 255);
      r.insert(r.end(), profile_.info.begin(), profile_.info.begin() + static_cast<std::ptrdiff_t>(text));
      Reply(atUs, r, profile_.commandUs);
      return;
    }
    case 0x1019: FieldsCommand(f, code, atUs); return;
    default: return;
  }
}

bool UnitModel::BootLoader(const Frame& f, uint16_t code, uint64_t atUs) {
  std::vector<uint8_t> r = Header(1, code);
  const uint64_t work = profile_.commandUs;
  switch (code) {
    case 0x1010:
      Add16(r, profile_.card);
      Add16(r, profile_.circuit);
      Add16(r, Version());
      Add16(r, profile_.product);
      Reply(atUs, r, work);
      return true;
    case 0x1011: {
      const uint64_t end = Reply(atUs, r, work);
      Restart(end, true, false);
      return true;
    }
    case 0x1012:
      Add8(r, (profile_.mcu << 4) | (profile_.bootVersion & 0x0F));
      Reply(atUs, r, work);
      return true;
    case 0x1013:
      if (!profile_.releaseRecord) return false;
      Add8(r, profile_.bootRecord);
      Add8(r, profile_.mcu);
      Add8(r, profile_.bootVersion);
      Add8(r, release_);
      Add32(r, checksum_);
      Add8(r, flags_);
      Reply(atUs, r, work);
      return true;
    case 0x1020: {  // write RAM
      const uint32_t address = Be32(f, 4);
      const size_t n = f[8];
      for (size_t i = 0; i < n; ++i) {
        const uint32_t at = address + static_cast<uint32_t>(i);
        ram_[at & ~0xFFu][at & 0xFF] = f[9 + i];
      }
      if (n > 0) ramWritten_.emplace_back(address, address + static_cast<uint32_t>(n));
      Add32(r, address);
      Add8(r, n);
      Reply(atUs, r, work);
      return true;
    }
    case 0x1021: {  // examine RAM
      const uint32_t address = Be32(f, 4);
      const size_t n = f[8];
      Add32(r, address);
      Add8(r, n);
      for (size_t i = 0; i < n; ++i) {
        const uint32_t at = address + static_cast<uint32_t>(i);
        const auto page = ram_.find(at & ~0xFFu);
        Add8(r, page == ram_.end() ? 0 : page->second[at & 0xFF]);
      }
      Reply(atUs, r, work);
      return true;
    }
    case 0x1022: {  // run RAM program
      const uint32_t entry = Be32(f, 4);
      const uint64_t end = Reply(atUs, r, work);
      const bool loaded = std::any_of(ramWritten_.begin(), ramWritten_.end(),
                                      [&](const auto& w) { return entry >= w.first && entry < w.second; });
      if (loaded) {
        StartProgrammer(end);
      } else {
        Hang(end);  // jumped into RAM that holds no program
      }
      return true;
    }
    case 0x1090: {
      const int index = f[4];
      const int highest = profile_.maxRateIndex > 0 ? profile_.maxRateIndex : (profile_.mcu <= 2 ? 5 : 9);
      if (index < 1 || index > 9 || index > highest) return false;
      const uint64_t end = Reply(atUs, r, work);
      bootRate_ = kRates[index];
      ListenAt(end, bootRate_, false);
      return true;
    }
    case 0x1032: {
      const uint64_t end = Reply(atUs, r, work);
      Restart(end, false, false);
      return true;
    }
    case 0x10F0: {  // install secured boot loader
      const uint8_t result = static_cast<uint8_t>(ResultFor(code, profile_.secureBootResult));
      Add8(r, result);
      Reply(atUs, r, 50 * uint64_t{profile_.flashBlockUs});
      if (result == 0) {
        flags_ &= static_cast<uint8_t>(~0x80);
        release_ = profile_.secureBootRelease >= 0 ? static_cast<uint8_t>(profile_.secureBootRelease)
                                                   : CurrentRelease(profile_.mcu);
      }
      return true;
    }
    case 0x1091:
      if (profile_.mcu <= 2 || release_ <= 9) return false;
      Add16(r, 128);
      Reply(atUs, r, work);
      return true;
    default: return false;
  }
}

void UnitModel::Programmer(const Frame& f, uint16_t code, uint64_t atUs) {
  std::vector<uint8_t> r = Header(1, code);
  const uint64_t work = profile_.commandUs;
  switch (code) {
    case 0x1030:
    case 0x1031:
    case 0x1040: FlashBlock(f, code, atUs); return;
    case 0x1032: {
      EndPass();
      const uint64_t end = Reply(atUs, r, work);
      Restart(end, false, false);
      return;
    }
    case 0x1033: {
      EndPass();
      const uint64_t end = Reply(atUs, r, work);
      expectedSeq_ = 0;
      if (profile_.mcu == 3 || profile_.mcu == 5) {
        progRate_ = 115200;
        ListenAt(end, progRate_, false);
      }
      return;
    }
    case 0x1034:  // clear chip: LPC parts only
      if ((profile_.mcu != 3 && profile_.mcu != 5) || std::memcmp(&f[4], "erase", 5) != 0) return;
      pass_.clear();
      flash_.clear();
      flags_ |= 1;
      version_ = 0;
      Reply(atUs, r, 100 * uint64_t{profile_.flashBlockUs});
      return;
    case 0x1011: {
      CutPass();
      const uint64_t end = Reply(atUs, r, work);
      Restart(end, true, false);
      return;
    }
    case 0x1050:
    case 0x1051:
    case 0x1052:
    case 0x1053: FieldsCommand(f, code, atUs); return;
    case 0x1058:
    case 0x1059:
    case 0x105A: StringsCommand(f, code, atUs); return;
    case 0x1060:
    case 0x1062:
    case 0x1070:
    case 0x1071:
    case 0x1080:
    case 0x1082: FileCommand(f, code, atUs); return;
    case 0x1090: {
      const int index = f[4];
      const int highest = profile_.maxRateIndex > 0 ? profile_.maxRateIndex : (profile_.mcu <= 2 ? 5 : 9);
      if (index < 1 || index > 9 || index > highest) return;
      const uint64_t end = Reply(atUs, r, work);
      progRate_ = kRates[index];
      ListenAt(end, progRate_, false);
      return;
    }
    case 0x1091:
      if (profile_.mcu <= 2) return;
      Add16(r, 128);
      Reply(atUs, r, work);
      return;
    default: return;
  }
}

bool UnitModel::FlashBlock(const Frame& f, uint16_t code, uint64_t atUs) {
  uint16_t seq = 0;
  uint32_t address = 0;
  size_t n = 0, at = 0;
  if (code == 0x1030) {
    address = Be32(f, 4), n = f[8], at = 9;
  } else if (code == 0x1040) {
    address = Be32(f, 4), n = Be16(f, 8), at = 10;
  } else {
    seq = Be16(f, 4), address = Be32(f, 6), n = f[10], at = 11;
  }
  const uint64_t count = ++counters_.flashBlocks;
  if (faults.silentAfterBlocks != 0 && count > faults.silentAfterBlocks) {
    Hang(atUs);
    return false;
  }
  // Sequenced blocks are taken in order only: a block after a lost one is
  // dropped unanswered, so a cumulative reply never covers a block not written.
  if (code == 0x1031 && seq > expectedSeq_) return false;
  uint8_t result = static_cast<uint8_t>(ResultFor(code, 0));
  if (const auto it = faults.flashBlockResult.find(count); it != faults.flashBlockResult.end()) result = it->second;
  if (result == 0) {
    if (profile_.mcu <= 2 && address == 0) EraseOldFields();
    pass_[address].assign(f.begin() + static_cast<std::ptrdiff_t>(at),
                          f.begin() + static_cast<std::ptrdiff_t>(at + n));
    WriteFlash(address, &f[at], n);
  }
  if (code == 0x1031 && seq == expectedSeq_) ++expectedSeq_;
  if (faults.resetAfterBlocks != 0 && count == faults.resetAfterBlocks) {
    Restart(std::max(atUs, busyUntilUs_) + BlockUs(n), false, true);
    return false;
  }
  std::vector<uint8_t> r = Header(1, code);
  if (code == 0x1031) Add16(r, seq);
  Add32(r, address);
  if (code == 0x1040) {
    Add16(r, static_cast<uint32_t>(n));
  } else {
    Add8(r, static_cast<uint32_t>(n));
  }
  Add8(r, result);
  Reply(atUs, r, BlockUs(n));
  return true;
}

void UnitModel::FieldsCommand(const Frame& f, uint16_t code, uint64_t atUs) {
  std::vector<uint8_t> r = Header(f[0], code);
  const std::vector<uint8_t> held = Fields();
  const bool heldValid = held.size() == kFieldsLength && FieldsValid(held.data());
  switch (code) {
    case 0x1019: {  // check: 0 when the supplied record is the one held
      int result = heldValid && std::equal(held.begin(), held.end(), f.begin() + 4) ? 0 : 1;
      if (profile_.fieldsCheck >= 0) result = profile_.fieldsCheck;
      result = ResultFor(code, result);
      Add8(r, static_cast<uint32_t>(result));
      Reply(atUs, r, profile_.commandUs);
      return;
    }
    case 0x1050: {  // write old fields
      const uint32_t address = Be32(f, 4);
      const int result = ResultFor(code, 0);
      if (result == 0) WriteFlash(address, &f[9], 128);
      Add32(r, address);
      Add8(r, f[8]);
      Add8(r, static_cast<uint32_t>(result));
      Reply(atUs, r, BlockUs(128));
      return;
    }
    case 0x1051: {  // read old fields
      const uint32_t address = Be32(f, 4);
      Add32(r, address);
      Add8(r, 0x80);
      const std::vector<uint8_t> bytes = ReadFlash(address, 128);
      r.insert(r.end(), bytes.begin(), bytes.end());
      Reply(atUs, r, profile_.commandUs);
      return;
    }
    case 0x1052: {  // update: a record with sound check values is stored
      const bool valid = FieldsValid(&f[4]);
      int result = valid ? 0 : 3;
      if (profile_.fieldsUpdate >= 0) result = profile_.fieldsUpdate;
      result = ResultFor(code, result);
      if (result == 0 && valid) StoreFields(&f[4]);
      Add8(r, static_cast<uint32_t>(result));
      Reply(atUs, r, 2 * BlockUs(128));
      return;
    }
    case 0x1053: {  // preserve: the unit keeps its own fields, which must be sound
      int result = heldValid ? 0 : 3;
      if (profile_.fieldsPreserve >= 0) result = profile_.fieldsPreserve;
      result = ResultFor(code, result);
      Add8(r, static_cast<uint32_t>(result));
      Reply(atUs, r, 2 * BlockUs(128));
      return;
    }
    default: return;
  }
}

void UnitModel::StringsCommand(const Frame& f, uint16_t code, uint64_t atUs) {
  std::vector<uint8_t> r = Header(1, code);
  switch (code) {
    case 0x1058:
      Add8(r, profile_.eeprom);
      Add32(r, Be32(strings_, 0));
      Add32(r, Be32(strings_, 4));
      Add16(r, Be16(strings_, 8));
      Add16(r, Be16(strings_, 10));
      Reply(atUs, r, profile_.commandUs);
      return;
    case 0x1059: {
      const uint32_t offset = Be32(f, 4);
      const size_t n = f[8];
      const uint64_t count = ++counters_.stringsBlocks;
      uint8_t result = 0;
      if (profile_.eeprom == 2) {
        result = 0x10;  // the EEPROM does not take writes
      } else if (uint64_t{offset} + n > strings_.size()) {
        result = 0x11;
      }
      result = static_cast<uint8_t>(ResultFor(code, result));
      if (const auto it = faults.stringsBlockResult.find(count); it != faults.stringsBlockResult.end()) {
        result = it->second;
      }
      if (result == 0) std::copy_n(f.begin() + 9, n, strings_.begin() + offset);
      Add32(r, offset);
      Add8(r, static_cast<uint32_t>(n));
      Add8(r, result);
      Reply(atUs, r, BlockUs(n));
      return;
    }
    case 0x105A: {
      const uint32_t offset = Be32(f, 4);
      const size_t n = f[8];
      Add32(r, offset);
      Add8(r, static_cast<uint32_t>(n));
      for (size_t i = 0; i < n; ++i) {
        const uint64_t at = uint64_t{offset} + i;
        Add8(r, at < strings_.size() ? strings_[at] : 0xFF);
      }
      Reply(atUs, r, profile_.commandUs);
      return;
    }
    default: return;
  }
}

void UnitModel::FileCommand(const Frame& f, uint16_t code, uint64_t atUs) {
  const uint8_t file = f[4];
  const auto found = files_.find(file);
  const bool exists = found != files_.end();
  std::vector<uint8_t> r = Header(1, code == 0x1062 ? 0x1061 : code);
  switch (code) {
    case 0x1060: {  // open for reading
      const int result = ResultFor(code, exists ? 0 : 1);
      if (result == 0 && exists) openForWrite_[file] = false;
      Add8(r, static_cast<uint32_t>(result));
      Reply(atUs, r, profile_.commandUs);
      return;
    }
    case 0x1070: {  // create: an empty file open for writing
      const int result = ResultFor(code, 0);
      if (result == 0) {
        files_[file].clear();
        openForWrite_[file] = true;
      }
      Add8(r, static_cast<uint32_t>(result));
      Reply(atUs, r, 5 * uint64_t{profile_.commandUs});
      return;
    }
    case 0x1080: {  // close: a forced failure leaves the file open
      const bool open = openForWrite_.count(file) > 0;
      const int result = ResultFor(code, open ? 0 : profile_.notOpenStatus);
      if (result == 0) openForWrite_.erase(file);
      Add8(r, static_cast<uint32_t>(result));
      Reply(atUs, r, profile_.commandUs);
      return;
    }
    case 0x1082: {
      Add8(r, static_cast<uint32_t>(ResultFor(code, exists ? 0 : 1)));
      for (uint32_t w : Attributes(file)) Add32(r, w);
      Reply(atUs, r, profile_.commandUs);
      return;
    }
    case 0x1071: {
      const uint32_t offset = Be32(f, 5);
      const size_t n = f[9];
      // Blocks are taken in order only: one beyond the file's end (a block
      // before it was lost) is dropped unanswered, so that an overlapped
      // writer's cumulative acknowledgement never covers a block not written.
      if (exists && offset > found->second.size()) return;
      const uint64_t count = ++counters_.fileBlocks;
      uint64_t used = 0;
      for (const auto& [number, data] : files_) used += number == file ? 0 : data.size();
      const auto open = openForWrite_.find(file);
      uint8_t result = 0;
      if (open == openForWrite_.end() || !open->second || !exists) {
        result = 2;  // not created for writing
      } else if (used + offset + n > profile_.driveCapacity) {
        result = 3;  // the drive is full
      }
      result = static_cast<uint8_t>(ResultFor(code, result));
      if (const auto it = faults.fileBlockResult.find(count); it != faults.fileBlockResult.end()) result = it->second;
      if (result == 0) {
        std::vector<uint8_t>& data = found->second;
        if (data.size() < offset + n) data.resize(offset + n, 0xFF);
        std::copy_n(f.begin() + 10, n, data.begin() + offset);
      }
      Add8(r, file);
      Add32(r, offset);
      Add8(r, static_cast<uint32_t>(n));
      Add8(r, result);
      Reply(atUs, r, BlockUs(n));
      return;
    }
    case 0x1062: {
      const uint32_t offset = Be32(f, 5);
      const size_t n = f[9];
      Add8(r, file);
      Add32(r, offset);
      Add8(r, static_cast<uint32_t>(n));
      for (size_t i = 0; i < n; ++i) {
        const uint64_t at = uint64_t{offset} + i;
        Add8(r, exists && at < found->second.size() ? found->second[at] : 0xFF);
      }
      Reply(atUs, r, profile_.commandUs);
      return;
    }
    default: return;
  }
}

}  // namespace corv::sim
