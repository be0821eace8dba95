// The unit model's framing, modes, timing, restarts, flash passes and faults;
// the command handlers are in unit_commands.cpp.
#include "sim/unit_model.h"

#include <algorithm>
#include <cstdio>

#include "link/crc16.h"
#include "payloads/crc32.h"
#include "sim/unit_bytes.h"
#include "sim/unit_data.h"

namespace corv::sim {

namespace {

// What the unit's programmer knows of the images it is sent: the CRC-32 of each
// boot-loader image and of the four software images (version 5.10).
uint32_t BootLoaderConstant(int mcu) {
  switch (mcu) {
    case 2: return 0xB0071002;
    case 3: return 0xB0071003;
    case 5: return 0xB0071005;
    default: return 0;
  }
}

bool SoftwareConstant(uint32_t crc) {
  return crc == 0x776A4F32 || crc == 0xCFD9091F || crc == 0x56149889 || crc == 0xDDBA46E5;
}

constexpr uint32_t kOldFieldsFirst = 512;  // MCU types 1 and 2
constexpr uint32_t kOldFieldsLength = 128;
constexpr size_t kMaxFrame = 20002;

}  // namespace

const char* ModeName(UnitMode m) {
  switch (m) {
    case UnitMode::Off: return "off";
    case UnitMode::BootLoader: return "bootloader";
    case UnitMode::Software: return "software";
    case UnitMode::Programmer: return "programmer";
    case UnitMode::Hung: return "hung";
    case UnitMode::Lpc: return "lpc";
    case UnitMode::Modem: return "modem";
    case UnitMode::Dead: return "dead";
  }
  return "?";
}

UnitModel::UnitModel(const UnitProfile& profile) : profile_(profile) {
  version_ = profile_.version;
  checksum_ = profile_.checksum;
  release_ = profile_.bootRelease;
  flags_ = profile_.bootFlags;
  if (version_ == 0) flags_ |= 1;
  bootRate_ = profile_.bootRate;
  std::vector<uint8_t> fields = profile_.fields.size() == kFieldsLength ? profile_.fields
                                                                         : MakeFieldsRecord(profile_.serial);
  if (profile_.mcu <= 2) {
    WriteFlash(kOldFieldsFirst, fields.data(), fields.size());
  } else {
    fieldsStore_ = fields;
  }
  strings_.assign(profile_.eeprom == 0 ? 8192 : 131072, 0xFF);
  std::copy_n(profile_.strings.begin(), std::min(profile_.strings.size(), strings_.size()), strings_.begin());
  files_ = profile_.files;
}

void UnitModel::Note(const std::string& line) const {
  if (trace) trace(line);
}

void UnitModel::Attach(UnitWire* wire, uint64_t nowUs) {
  wire_ = wire;
  busyUntilUs_ = txFreeUs_ = lastByteUs_ = nowUs;
  switch (profile_.kind) {
    case UnitKind::LpcIsp: mode_ = UnitMode::Lpc; break;
    case UnitKind::Modem: mode_ = UnitMode::Modem; break;
    case UnitKind::Dead: mode_ = UnitMode::Dead; break;
    case UnitKind::Instrument: mode_ = WorkingSoftware() ? UnitMode::Software : UnitMode::BootLoader; break;
  }
  ListenAt(nowUs, ListenBaud(), ListenParity());
  const bool cts = mode_ == UnitMode::Software ? profile_.cts.value_or(false)
                   : mode_ == UnitMode::BootLoader ? profile_.cts.value_or(profile_.mcu == 3 || profile_.mcu == 5)
                                                   : false;
  CtsAt(nowUs, cts);
}

void UnitModel::ListenAt(uint64_t atUs, int32_t baud, bool parity) {
  if (wire_) wire_->Listen(atUs, baud, parity);
}

void UnitModel::CtsAt(uint64_t atUs, bool on) {
  cts_ = on;
  if (wire_) wire_->SetCts(atUs, on);
}

int32_t UnitModel::ListenBaud() const {
  switch (mode_) {
    case UnitMode::Software: return profile_.rate;
    case UnitMode::BootLoader:
    case UnitMode::Off: return bootRate_;
    case UnitMode::Programmer: return progRate_;
    case UnitMode::Hung: return 0;
    default: return profile_.rate;
  }
}

uint8_t UnitModel::Address() const {
  switch (mode_) {
    case UnitMode::Software: return profile_.address;
    case UnitMode::BootLoader:
    case UnitMode::Programmer: return 1;
    default: return 0;
  }
}

uint64_t UnitModel::ByteUs() const {
  const int32_t baud = ListenBaud() > 0 ? ListenBaud() : 9600;
  const uint64_t bits = ListenParity() ? 12 : 11;
  return (bits * 1000000 + static_cast<uint64_t>(baud) - 1) / static_cast<uint64_t>(baud);
}

uint64_t UnitModel::BlockUs(size_t n) const { return uint64_t{profile_.flashBlockUs} * std::max<size_t>(n, 1) / 128; }

void UnitModel::Advance(uint64_t nowUs) {
  if (mode_ == UnitMode::Off && nowUs >= upAtUs_) {
    mode_ = UnitMode::BootLoader;
    Note("boot loader starts");
  }
  if (mode_ == UnitMode::BootLoader && windowEndUs_ != 0 && nowUs >= windowEndUs_) {
    const uint64_t at = windowEndUs_;
    windowEndUs_ = 0;
    mode_ = UnitMode::Software;
    rx_.clear();
    ListenAt(at, profile_.rate, profile_.evenParity);
    CtsAt(at, profile_.cts.value_or(false));
    Note("software starts");
  }
}

void UnitModel::PowerCycle(uint64_t atUs) {
  Advance(atUs);
  ++counters_.powerCycles;
  Note("power cycle");
  if (profile_.kind != UnitKind::Instrument) {
    lpcAutobaud_ = lpcSynced_ = false;
    textLine_.clear();
    if (wire_) wire_->Flush(atUs);
    return;
  }
  Restart(atUs, false, true);
}

void UnitModel::Restart(uint64_t atUs, bool stayInBootLoader, bool flush) {
  CutPass();
  if (flush && wire_) wire_->Flush(atUs);
  rx_.clear();
  mode_ = UnitMode::Off;
  upAtUs_ = atUs + profile_.resetUs;
  busyUntilUs_ = std::max(busyUntilUs_, upAtUs_);
  bootRate_ = profile_.bootRate;
  expectedSeq_ = 0;
  ram_.clear();
  ramWritten_.clear();
  openForWrite_.clear();
  CtsAt(atUs, false);
  ListenAt(upAtUs_, bootRate_, false);
  CtsAt(upAtUs_, profile_.cts.value_or(profile_.mcu == 3 || profile_.mcu == 5));
  // The software starts when the window closes (Advance) unless a boot-loader
  // command catches the boot loader first.
  windowEndUs_ = !stayInBootLoader && WorkingSoftware() ? upAtUs_ + profile_.bootWindowUs : 0;
  Note(stayInBootLoader ? "reset to boot loader" : "restart");
}

void UnitModel::Hang(uint64_t atUs) {
  mode_ = UnitMode::Hung;
  rx_.clear();
  CtsAt(atUs, false);
  Note("hung");
}

void UnitModel::StartProgrammer(uint64_t atUs) {
  mode_ = UnitMode::Programmer;
  progRate_ = profile_.mcu <= 2 ? bootRate_ : 115200;
  expectedSeq_ = 0;
  pass_.clear();
  openForWrite_.clear();
  ListenAt(atUs, progRate_, false);
  CtsAt(atUs, profile_.cts.value_or(profile_.mcu >= 2));
  Note("programmer starts at " + std::to_string(progRate_));
}

void UnitModel::EndPass() {
  if (pass_.empty()) return;
  uint32_t crc = 0;
  for (const auto& [address, data] : pass_) crc = Crc32(data.data(), data.size(), crc);
  ++counters_.passes;
  pass_.clear();
  char text[64];
  std::snprintf(text, sizeof text, "pass ends, CRC-32 %08X", crc);
  Note(text);
  if (crc != 0 && crc == BootLoaderConstant(profile_.mcu)) {
    release_ = profile_.mcu == 2 ? 5 : 9;
    return;
  }
  checksum_ = crc;
  flags_ &= static_cast<uint8_t>(~0x05);
  if (SoftwareConstant(crc)) {
    version_ = 510;
  } else {
    flags_ |= 1;
    version_ = 0;
  }
}

void UnitModel::CutPass() {
  if (pass_.empty()) return;
  pass_.clear();
  flags_ |= 1;
  version_ = 0;
  ++counters_.cutPasses;
  Note("pass cut off: no working software");
}

void UnitModel::WriteFlash(uint32_t address, const uint8_t* data, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const uint32_t a = address + static_cast<uint32_t>(i);
    auto it = flash_.find(a & ~0xFFu);
    if (it == flash_.end()) {
      it = flash_.emplace(a & ~0xFFu, std::array<uint8_t, 256>{}).first;
      it->second.fill(0xFF);
    }
    it->second[a & 0xFF] = data[i];
  }
}

std::vector<uint8_t> UnitModel::ReadFlash(uint32_t address, size_t n) const {
  std::vector<uint8_t> out(n, 0xFF);
  for (size_t i = 0; i < n; ++i) {
    const uint32_t a = address + static_cast<uint32_t>(i);
    const auto it = flash_.find(a & ~0xFFu);
    if (it != flash_.end()) out[i] = it->second[a & 0xFF];
  }
  return out;
}

void UnitModel::EraseOldFields() {
  const std::vector<uint8_t> erased(kOldFieldsLength, 0xFF);
  WriteFlash(kOldFieldsFirst, erased.data(), erased.size());
  Note("old-fields area erased");
}

std::vector<uint8_t> UnitModel::Fields() const {
  if (profile_.mcu <= 2) return ReadFlash(kOldFieldsFirst, kFieldsLength);
  return fieldsStore_;
}

void UnitModel::StoreFields(const uint8_t* record) {
  if (profile_.mcu <= 2) {
    WriteFlash(kOldFieldsFirst, record, kFieldsLength);
  } else {
    fieldsStore_.assign(record, record + kFieldsLength);
  }
}

uint32_t UnitModel::Serial() const {
  const std::vector<uint8_t> f = Fields();
  return f.size() == kFieldsLength ? FieldsSerial(f.data()) : 0;
}

std::array<uint32_t, 5> UnitModel::Attributes(uint8_t file) const {
  const auto it = files_.find(file);
  if (it == files_.end()) return {};
  return FileAttributes(it->second.data(), it->second.size(), LittleEndianWords(profile_.mcu));
}

// --- Bytes in.

UnitModel::Parse UnitModel::FrameLength(size_t& need) const {
  if (rx_.size() < 2) return Parse::NeedMore;
  if (rx_[1] == 0x41) {
    need = 4;
    return Parse::Complete;
  }
  if (rx_[1] != 0x45) return Parse::Invalid;
  if (rx_.size() < 4) return Parse::NeedMore;
  const uint16_t code = Be16(rx_, 2);
  size_t n = 0;
  switch (code) {
    case 0x1010: case 0x1011: case 0x1012: case 0x1015: case 0x1016:
    case 0x1032: case 0x1033: case 0x1058: case 0x1091: case 0x10F0: n = 4; break;
    case 0x1013: case 0x1060: case 0x1070: case 0x1080: case 0x1082: case 0x1090: n = 5; break;
    case 0x1022: case 0x1053: n = 8; break;
    case 0x1021: case 0x1034: case 0x1051: case 0x105A: n = 9; break;
    case 0x1062: n = 10; break;
    case 0x1019: case 0x1052: n = 44; break;
    case 0x1050: n = 137; break;
    case 0x1020: case 0x1030: case 0x1059:  // address 32, length 8, data
      if (rx_.size() < 9) return Parse::NeedMore;
      n = 9 + size_t{rx_[8]};
      break;
    case 0x1071:  // file 8, offset 32, length 8, data
      if (rx_.size() < 10) return Parse::NeedMore;
      n = 10 + size_t{rx_[9]};
      break;
    case 0x1031:  // sequence 16, address 32, length 8, data
      if (rx_.size() < 11) return Parse::NeedMore;
      n = 11 + size_t{rx_[10]};
      break;
    case 0x1040:  // address 32, length 16, data
      if (rx_.size() < 10) return Parse::NeedMore;
      n = 10 + size_t{Be16(rx_, 8)};
      break;
    default: return Parse::Invalid;
  }
  need = n + 2;
  return need > kMaxFrame ? Parse::Invalid : Parse::Complete;
}

void UnitModel::OnByte(uint64_t atUs, uint8_t byte) {
  Advance(atUs);
  switch (mode_) {
    case UnitMode::Off:
    case UnitMode::Hung:
    case UnitMode::Dead: return;
    case UnitMode::Lpc:
    case UnitMode::Modem:
      TextByte(atUs, byte);
      lastByteUs_ = atUs;
      return;
    default: break;
  }
  if (!rx_.empty() && atUs - lastByteUs_ > std::max(minSilenceUs_, 4 * ByteUs())) {
    counters_.droppedBytes += rx_.size();
    rx_.clear();
  }
  lastByteUs_ = atUs;
  rx_.push_back(byte);
  while (!rx_.empty()) {
    size_t need = 0;
    const Parse p = FrameLength(need);
    if (p == Parse::NeedMore || (p == Parse::Complete && rx_.size() < need)) break;
    if (p == Parse::Complete && Crc16(rx_.data(), need) == 0) {
      const Frame frame(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(need));
      rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(need));
      HandleFrame(frame, atUs);
      if (mode_ != UnitMode::Software && mode_ != UnitMode::BootLoader && mode_ != UnitMode::Programmer) {
        rx_.clear();
      }
      continue;
    }
    if (p == Parse::Complete) ++counters_.badFrames;
    ++counters_.droppedBytes;
    rx_.erase(rx_.begin());
  }
}

void UnitModel::TextByte(uint64_t atUs, uint8_t byte) {
  const uint64_t at = std::max(atUs, busyUntilUs_) + profile_.commandUs;
  auto send = [&](const std::string& s) { SendRaw(at, std::vector<uint8_t>(s.begin(), s.end())); };
  if (mode_ == UnitMode::Modem) {
    if (byte == '\r') {
      std::string line;
      for (char c : textLine_) line += static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
      if (line.find("AT") != std::string::npos) send("\r\nOK\r\n");
      textLine_.clear();
    } else if (byte >= 32 && textLine_.size() < 80) {
      textLine_ += static_cast<char>(byte);
    }
    return;
  }
  // LPC ISP: "?" starts the autobaud, the echoed "Synchronized" line completes it.
  if (!lpcAutobaud_) {
    if (byte == '?') {
      lpcAutobaud_ = true;
      textLine_.clear();
      send("Synchronized\r\n");
    }
    return;
  }
  if (lpcSynced_) return;
  textLine_ += static_cast<char>(byte);
  if (byte == '\n' || textLine_.size() > 80) {
    if (textLine_ == "Synchronized\r\n" && profile_.lpcSync) {
      lpcSynced_ = true;
      send(textLine_ + "OK\r\n");
    } else {
      lpcAutobaud_ = false;
    }
    textLine_.clear();
  }
}

void UnitModel::HandleFrame(const Frame& f, uint64_t atUs) {
  ++counters_.frames;
  if (f[0] != Address()) return;
  const uint16_t code = f[1] == 0x41 ? 0x41 : Be16(f, 2);
  const uint64_t nth = ++counters_.commands[code];
  char text[48];
  std::snprintf(text, sizeof text, "%s: %04X", ModeName(mode_), code);
  Note(text);
  if (const auto it = profile_.hangAt.find(code); it != profile_.hangAt.end() && nth == it->second) {
    Hang(atUs);
    return;
  }
  if (const auto it = profile_.unansweredFrom.find(code); it != profile_.unansweredFrom.end() && nth >= it->second) {
    Note("ignored");
    return;
  }
  switch (mode_) {
    case UnitMode::Software:
      if (f[1] == 0x41) {
        Reply(atUs, {f[0], 0x42}, profile_.commandUs);
      } else {
        Software(f, code, atUs);
      }
      return;
    case UnitMode::BootLoader: {
      if (f[1] != 0x45) return;
      const bool inWindow = windowEndUs_ != 0;
      if (BootLoader(f, code, atUs) && inWindow && mode_ == UnitMode::BootLoader && windowEndUs_ != 0) {
        // Caught during its start-up window: the boot loader stays.
        windowEndUs_ = 0;
        Note("boot loader caught in its start-up window");
      }
      return;
    }
    case UnitMode::Programmer:
      if (f[1] == 0x45) Programmer(f, code, atUs);
      return;
    default: return;
  }
}

// --- Bytes out.

uint64_t UnitModel::SendRaw(uint64_t atUs, const std::vector<uint8_t>& bytes) {
  if (wire_) wire_->Send(atUs, bytes.data(), bytes.size());
  txFreeUs_ = std::max(txFreeUs_, atUs) + bytes.size() * ByteUs();
  return txFreeUs_;
}

uint64_t UnitModel::Reply(uint64_t atUs, std::vector<uint8_t> payload, uint64_t workUs) {
  const uint64_t n = ++counters_.replies;
  counters_.workUs += workUs;
  uint64_t at = std::max(atUs, busyUntilUs_) + workUs;
  busyUntilUs_ = at;
  at += faults.lateEveryReplyUs;
  if (const auto late = faults.lateReplyUs.find(n); late != faults.lateReplyUs.end()) at += late->second;
  const uint16_t crc = Crc16(payload.data(), payload.size());
  payload.push_back(static_cast<uint8_t>(crc));
  payload.push_back(static_cast<uint8_t>(crc >> 8));
  if (faults.corruptReply.count(n)) payload[payload.size() / 2] ^= 0x10;
  if (faults.dropReply.count(n)) {
    Note("reply " + std::to_string(n) + " dropped");
    return std::max(txFreeUs_, at) + payload.size() * ByteUs();
  }
  if (faults.strayBeforeReply.count(n)) payload.insert(payload.begin(), 0x00);
  return SendRaw(at, payload);
}

// --- State text.

std::string UnitModel::StateText() const {
  char line[160];
  std::string s;
  auto add = [&](const char* key, const std::string& value) { s += std::string(key) + "=" + value + "\n"; };
  add("mode", ModeName(mode_));
  add("version", std::to_string(Version()));
  std::snprintf(line, sizeof line, "0x%08X", checksum_);
  add("checksum", line);
  add("release", std::to_string(release_));
  add("flags", std::to_string(flags_));
  add("serial", std::to_string(Serial()));
  add("rate", std::to_string(ListenBaud()));
  add("parity", ListenParity() ? "even" : "none");
  add("address", std::to_string(Address()));
  add("card", std::to_string(profile_.card));
  add("mcu", std::to_string(profile_.mcu));
  add("cts", cts_ ? "1" : "0");
  std::string hex;
  for (uint8_t b : Fields()) {
    std::snprintf(line, sizeof line, "%02X", b);
    hex += line;
  }
  add("fields", hex);
  add("eeprom", std::to_string(profile_.eeprom));
  std::vector<uint8_t> h(strings_.begin(), strings_.begin() + 12);
  std::snprintf(line, sizeof line, "%u,0x%08X,0x%04X,0x%04X", Be32(h, 0), Be32(h, 4), Be16(h, 8), Be16(h, 10));
  add("strings", line);
  for (const auto& [number, data] : files_) {
    const auto a = Attributes(number);
    char key[16];
    std::snprintf(key, sizeof key, "file%02X", number);
    std::snprintf(line, sizeof line, "%u,0x%08X,0x%08X,0x%08X,0x%08X", a[0], a[1], a[2], a[3], a[4]);
    add(key, line);
  }
  add("passes", std::to_string(counters_.passes));
  add("flashBlocks", std::to_string(counters_.flashBlocks));
  add("powerCycles", std::to_string(counters_.powerCycles));
  return s;
}

}  // namespace corv::sim
