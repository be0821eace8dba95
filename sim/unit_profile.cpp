// Unit profiles: presets and the key=value reader.
#include "sim/unit_profile.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "payloads/catalogue.h"
#include "sim/unit_data.h"

namespace corv::sim {

namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// Decimal, or hexadecimal after "0x".
bool ReadNumber(std::string_view s, uint64_t& out) {
  s = Trim(s);
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    s.remove_prefix(2);
    base = 16;
  }
  if (s.empty()) return false;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out, base);
  return ec == std::errc() && end == s.data() + s.size();
}

template <class T>
bool ReadInto(std::string_view s, T& out, uint64_t max) {
  uint64_t v = 0;
  if (!ReadNumber(s, v) || v > max) return false;
  out = static_cast<T>(v);
  return true;
}

// "490" or "4.90".
bool ReadVersion(std::string_view s, uint16_t& out) {
  s = Trim(s);
  const size_t dot = s.find('.');
  if (dot == std::string_view::npos) return ReadInto(s, out, 0xFFFF);
  uint64_t major = 0, minor = 0;
  const std::string_view m = s.substr(dot + 1);
  if (!ReadNumber(s.substr(0, dot), major) || m.size() != 2 || !ReadNumber(m, minor)) return false;
  if (major * 100 + minor > 0xFFFF) return false;
  out = static_cast<uint16_t>(major * 100 + minor);
  return true;
}

// "auto" or a result code.
bool ReadForced(std::string_view s, int& out) {
  if (Trim(s) == "auto") {
    out = -1;
    return true;
  }
  return ReadInto(s, out, 255);
}

bool ReadHex(std::string_view s, std::vector<uint8_t>& out) {
  s = Trim(s);
  if (s.size() % 2 != 0) return false;
  out.clear();
  for (size_t i = 0; i < s.size(); i += 2) {
    uint8_t b = 0;
    const auto [end, ec] = std::from_chars(s.data() + i, s.data() + i + 2, b, 16);
    if (ec != std::errc() || end != s.data() + i + 2) return false;
    out.push_back(b);
  }
  return true;
}

std::string Unescape(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out += s[i];
      continue;
    }
    const char c = s[++i];
    out += c == 'r' ? '\r' : c == 'n' ? '\n' : c == 't' ? '\t' : c;
  }
  return out;
}

// Pseudo-random bytes from a seed, the same on every machine.
std::vector<uint8_t> RandomBytes(size_t n, uint64_t seed) {
  std::vector<uint8_t> v(n);
  uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  for (auto& b : v) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    b = static_cast<uint8_t>(x >> 24);
  }
  return v;
}

bool ReadFileBytes(const std::string& path, std::vector<uint8_t>& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

// The catalogue's flash-drive file of that number, if any.
bool CatalogueFile(uint8_t number, std::vector<uint8_t>& out) {
  if (number == kImagesFileNumber) {
    const ByteBlock b = ImagesFile();
    out.assign(b.data, b.data + b.length);
    return true;
  }
  for (const FontEntry& f : FontTable()) {
    if (f.fileNumber == number) {
      out.assign(f.data, f.data + f.length);
      return true;
    }
  }
  return false;
}

// catalogue | random:SIZE[:SEED] | hex:BYTES | path:FILE
bool ReadContents(std::string_view v, uint8_t number, bool strings, std::vector<uint8_t>& out) {
  v = Trim(v);
  if (v == "catalogue") {
    if (strings) {
      const ByteBlock b = StringsFile();
      out.assign(b.data, b.data + b.length);
      return true;
    }
    return CatalogueFile(number, out);
  }
  if (v.substr(0, 7) == "random:") {
    std::string_view rest = v.substr(7);
    uint64_t size = 0, seed = number;
    const size_t colon = rest.find(':');
    if (colon != std::string_view::npos) {
      if (!ReadNumber(rest.substr(colon + 1), seed)) return false;
      rest = rest.substr(0, colon);
    }
    if (!ReadNumber(rest, size) || size > 16 * 1024 * 1024) return false;
    out = RandomBytes(size, seed);
    return true;
  }
  if (v.substr(0, 4) == "hex:") return ReadHex(v.substr(4), out);
  if (v.substr(0, 5) == "path:") return ReadFileBytes(std::string(v.substr(5)), out);
  return false;
}

// SIZE,ID,MAGIC,HALF as the first 12 bytes of the strings area.
bool ReadStringsHeader(std::string_view v, std::vector<uint8_t>& out) {
  uint64_t f[4] = {};
  for (int i = 0; i < 4; ++i) {
    const size_t comma = v.find(',');
    if ((comma == std::string_view::npos) != (i == 3)) return false;
    if (!ReadNumber(v.substr(0, comma), f[i])) return false;
    if (i < 3) v = v.substr(comma + 1);
  }
  if (f[0] > 0xFFFFFFFF || f[1] > 0xFFFFFFFF || f[2] > 0xFFFF || f[3] > 0xFFFF) return false;
  out.clear();
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(f[0] >> s));
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(f[1] >> s));
  out.push_back(static_cast<uint8_t>(f[2] >> 8));
  out.push_back(static_cast<uint8_t>(f[2]));
  out.push_back(static_cast<uint8_t>(f[3] >> 8));
  out.push_back(static_cast<uint8_t>(f[3]));
  return true;
}

}  // namespace

UnitProfile DefaultProfile() { return UnitProfile{}; }

UnitProfile DisplayMcu2Profile() {
  UnitProfile p;
  p.card = 611;
  p.mcu = 2;
  p.bootVersion = 3;
  p.bootRelease = 5;
  p.checksum = 0x22334455;
  return p;
}

UnitProfile TransmitterMcu2Profile(uint8_t eeprom) {
  UnitProfile p = DisplayMcu2Profile();
  p.card = 620;
  p.circuit = 6;
  p.eeprom = eeprom;
  p.info = "Virtual transmitter";
  if (eeprom != 0) ReadStringsHeader("64000,0x9B,0x5354,0x1111", p.strings);
  return p;
}

bool HasResultCode(uint16_t code) {
  switch (code) {
    case 0x1019: case 0x1030: case 0x1031: case 0x1040: case 0x1050: case 0x1052: case 0x1053:
    case 0x1059: case 0x1060: case 0x1070: case 0x1071: case 0x1080: case 0x1082: case 0x10F0: return true;
    default: return false;
  }
}

namespace {

// What a key takes, for the message that refuses a value.
const char* AllowedForm(std::string_view key) {
  static const std::map<std::string_view, const char*> forms = {
      {"kind", "instrument, lpc, modem or dead"},
      {"card", "a card number, 1 to 65535"},
      {"circuit", "0 to 65535"},
      {"version", "490 or 4.90, up to 655.35"},
      {"product", "0 to 65535"},
      {"maskFt", "0 to 0xFFFF"},
      {"maskRt", "0 to 0xFFFF"},
      {"maskNew", "0 to 0xFFFF"},
      {"pmoduleType", "0 to 255"},
      {"pmoduleSerial", "0 to 0xFFFFFFFF"},
      {"pmoduleVersion", "490 or 4.90, up to 655.35"},
      {"buildTime", "year,month,day,hour,minute,second, each 0 to 255"},
      {"extRecordLength", "0 to 255"},
      {"mcu", "MCU type 1, 2, 3 or 5"},
      {"bootVersion", "1 to 15"},
      {"bootRelease", "0 to 255"},
      {"bootFlags", "0 to 0xFF"},
      {"bootRecord", "0 to 255"},
      {"releaseRecord", "0 or 1"},
      {"checksum", "0 to 0xFFFFFFFF"},
      {"address", "240 or 1 to 33"},
      {"rate", "1 to 4000000"},
      {"parity", "none or even"},
      {"bootRate", "9600 or 115200"},
      {"cts", "auto, 0 or 1"},
      {"maxRateIndex", "0 (by MCU type) or 1 to 9"},
      {"serial", "0 (none) to 0xFFFFFFFF"},
      {"fields", "80 hex digits"},
      {"fieldsCheck", "auto or 0 to 255"},
      {"fieldsUpdate", "auto or 0 to 255"},
      {"fieldsPreserve", "auto or 0 to 255"},
      {"secureBootResult", "0 to 255"},
      {"secureBootRelease", "current or 0 to 255"},
      {"unanswered", "none or CODE:N[,CODE:N...], N from 1 (0x1032:1)"},
      {"result", "none or CODE:RESULT[,...] for 0x1019, 0x1030, 0x1031, 0x1040, 0x1050, 0x1052, 0x1053, 0x1059, "
                 "0x1060, 0x1070, 0x1071, 0x1080, 0x1082 or 0x10F0 (0x1080:7)"},
      {"lpcSync", "0 or 1"},
      {"notOpenStatus", "1 to 255"},
      {"hangAt", "none or CODE:N[,CODE:N...], N from 1"},
      {"eeprom", "0 (8K), 1 (128K working) or 2 (128K failed)"},
      {"strings", "none, catalogue, header:SIZE,ID,MAGIC,HALF, hex:BYTES, random:SIZE[:SEED] or path:FILE"},
      {"driveCapacity", "0 to 0xFFFFFFFF"},
      {"commandUs", "0 to 10000000"},
      {"flashBlockUs", "0 to 10000000"},
      {"resetUs", "0 to 10000000"},
      {"bootWindowMs", "0 to 600000"},
      {"wireIn", "0 or 1"},
  };
  const auto it = forms.find(key);
  if (it != forms.end()) return it->second;
  return "catalogue, hex:BYTES, random:SIZE[:SEED], path:FILE or none";  // fileNN
}

// CODE:VALUE pairs separated by commas, or "none"; each value checked by `take`.
template <class Take>
bool ReadCodeList(std::string_view v, Take take) {
  v = Trim(v);
  if (v == "none") return true;
  while (!v.empty()) {
    const size_t comma = v.find(',');
    const std::string_view item = v.substr(0, comma);
    const size_t colon = item.find(':');
    uint64_t code = 0, value = 0;
    if (colon == std::string_view::npos || !ReadNumber(item.substr(0, colon), code) || code > 0xFFFF ||
        !ReadNumber(item.substr(colon + 1), value) || !take(static_cast<uint16_t>(code), value)) {
      return false;
    }
    if (comma == std::string_view::npos) break;
    v = v.substr(comma + 1);
  }
  return true;
}

}  // namespace

bool ApplySetting(UnitProfile& p, std::string_view key, std::string_view value, std::string& error) {
  value = Trim(value);
  bool ok = true;
  auto fail = [&](const char* what) {
    error = std::string(what) + ": " + std::string(key) + "=" + std::string(value);
    return false;
  };
  if (key == "kind") {
    if (value == "instrument") p.kind = UnitKind::Instrument;
    else if (value == "lpc") p.kind = UnitKind::LpcIsp;
    else if (value == "modem") p.kind = UnitKind::Modem;
    else if (value == "dead") p.kind = UnitKind::Dead;
    else ok = false;
  } else if (key == "card") ok = ReadInto(value, p.card, 0xFFFF) && p.card != 0;
  else if (key == "circuit") ok = ReadInto(value, p.circuit, 0xFFFF);
  else if (key == "version") ok = ReadVersion(value, p.version);
  else if (key == "product") ok = ReadInto(value, p.product, 0xFFFF);
  else if (key == "maskFt") ok = ReadInto(value, p.maskFt, 0xFFFF);
  else if (key == "maskRt") ok = ReadInto(value, p.maskRt, 0xFFFF);
  else if (key == "maskNew") ok = ReadInto(value, p.maskNew, 0xFFFF);
  else if (key == "pmoduleType") ok = ReadInto(value, p.pmoduleType, 0xFF);
  else if (key == "pmoduleSerial") ok = ReadInto(value, p.pmoduleSerial, 0xFFFFFFFF);
  else if (key == "pmoduleVersion") ok = ReadVersion(value, p.pmoduleVersion);
  else if (key == "buildTime") {
    std::string_view rest = value;
    for (int i = 0; i < 6 && ok; ++i) {
      const size_t comma = rest.find(',');
      if ((comma == std::string_view::npos) != (i == 5)) ok = false;
      else ok = ReadInto(rest.substr(0, comma), p.buildTime[i], 0xFF);
      if (i < 5 && ok) rest = rest.substr(comma + 1);
    }
  } else if (key == "info") {
    p.info = Unescape(value);
    if (p.info.size() > 255) return fail("information text longer than 255 characters");
  } else if (key == "extRecordLength") ok = ReadInto(value, p.extRecordLength, 0xFF);
  else if (key == "mcu") ok = ReadInto(value, p.mcu, 0x0F) && (p.mcu == 1 || p.mcu == 2 || p.mcu == 3 || p.mcu == 5);
  else if (key == "bootVersion") ok = ReadInto(value, p.bootVersion, 0x0F) && p.bootVersion != 0;
  else if (key == "bootRelease") ok = ReadInto(value, p.bootRelease, 0xFF);
  else if (key == "bootFlags") ok = ReadInto(value, p.bootFlags, 0xFF);
  else if (key == "bootRecord") ok = ReadInto(value, p.bootRecord, 0xFF);
  else if (key == "releaseRecord") ok = ReadInto(value, p.releaseRecord, 1);
  else if (key == "checksum") ok = ReadInto(value, p.checksum, 0xFFFFFFFF);
  else if (key == "address") {
    ok = ReadInto(value, p.address, 0xFF) && (p.address == 240 || (p.address >= 1 && p.address <= 33));
  } else if (key == "rate") ok = ReadInto(value, p.rate, 4000000) && p.rate > 0;
  else if (key == "parity") {
    if (value == "none") p.evenParity = false;
    else if (value == "even") p.evenParity = true;
    else ok = false;
  } else if (key == "bootRate") ok = ReadInto(value, p.bootRate, 115200) && (p.bootRate == 9600 || p.bootRate == 115200);
  else if (key == "cts") {
    if (value == "auto") p.cts.reset();
    else if (value == "0" || value == "1") p.cts = value == "1";
    else ok = false;
  } else if (key == "maxRateIndex") ok = ReadInto(value, p.maxRateIndex, 9);
  else if (key == "serial") {
    ok = ReadInto(value, p.serial, 0xFFFFFFFF);
    p.fields.clear();
  } else if (key == "fields") ok = ReadHex(value, p.fields) && p.fields.size() == kFieldsLength;
  else if (key == "fieldsCheck") ok = ReadForced(value, p.fieldsCheck);
  else if (key == "fieldsUpdate") ok = ReadForced(value, p.fieldsUpdate);
  else if (key == "fieldsPreserve") ok = ReadForced(value, p.fieldsPreserve);
  else if (key == "secureBootResult") ok = ReadInto(value, p.secureBootResult, 0xFF);
  else if (key == "secureBootRelease") {
    if (value == "current") p.secureBootRelease = -1;
    else ok = ReadInto(value, p.secureBootRelease, 0xFF);
  } else if (key == "unanswered") {
    std::map<uint16_t, uint64_t> from;
    ok = ReadCodeList(value, [&](uint16_t code, uint64_t n) { return n >= 1 && from.emplace(code, n).second; });
    if (ok) p.unansweredFrom = from;
  } else if (key == "hangAt") {
    std::map<uint16_t, uint64_t> at;
    ok = ReadCodeList(value, [&](uint16_t code, uint64_t n) { return n >= 1 && at.emplace(code, n).second; });
    if (ok) p.hangAt = at;
  } else if (key == "result") {
    std::map<uint16_t, uint8_t> forced;
    ok = ReadCodeList(value, [&](uint16_t code, uint64_t r) {
      return HasResultCode(code) && r <= 0xFF && forced.emplace(code, static_cast<uint8_t>(r)).second;
    });
    if (ok) p.forcedResult = forced;
  } else if (key == "notOpenStatus") ok = ReadInto(value, p.notOpenStatus, 0xFF) && p.notOpenStatus != 0;
  else if (key == "lpcSync") ok = ReadInto(value, p.lpcSync, 1);
  else if (key == "wireIn") ok = ReadInto(value, p.wireIn, 1);
  else if (key == "eeprom") ok = ReadInto(value, p.eeprom, 2);
  else if (key == "strings") {
    if (value == "none") p.strings.clear();
    else if (value.substr(0, 7) == "header:") ok = ReadStringsHeader(value.substr(7), p.strings);
    else ok = ReadContents(value, 0, true, p.strings);
  } else if (key.size() == 6 && key.substr(0, 4) == "file") {
    uint8_t number = 0;
    const auto [end, ec] = std::from_chars(key.data() + 4, key.data() + 6, number, 16);
    if (ec != std::errc() || end != key.data() + 6) return fail("unknown key");
    if (value == "none") {
      p.files.erase(number);
    } else {
      ok = ReadContents(value, number, false, p.files[number]);
      if (!ok) p.files.erase(number);
    }
  } else if (key == "driveCapacity") ok = ReadInto(value, p.driveCapacity, 0xFFFFFFFF);
  else if (key == "commandUs") ok = ReadInto(value, p.commandUs, 10000000);
  else if (key == "flashBlockUs") ok = ReadInto(value, p.flashBlockUs, 10000000);
  else if (key == "resetUs") ok = ReadInto(value, p.resetUs, 10000000);
  else if (key == "bootWindowMs") {
    uint32_t ms = 0;
    ok = ReadInto(value, ms, 600000);
    p.bootWindowUs = ms * 1000;
  } else {
    return fail("unknown key");
  }
  if (ok) return true;
  fail("bad value");
  error += " (allowed: " + std::string(AllowedForm(key)) + ")";
  return false;
}

bool ParseProfile(UnitProfile& p, std::string_view text, std::string& error) {
  int number = 0;
  while (!text.empty()) {
    const size_t nl = text.find('\n');
    const std::string_view line = Trim(text.substr(0, nl));
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    ++number;
    if (line.empty() || line[0] == '#') continue;
    const size_t eq = line.find('=');
    std::string why;
    if (eq == std::string_view::npos) {
      why = "not key=value: " + std::string(line);
    } else if (ApplySetting(p, Trim(line.substr(0, eq)), line.substr(eq + 1), why)) {
      continue;
    }
    error = "line " + std::to_string(number) + ": " + why;
    return false;
  }
  return true;
}

bool LoadProfile(UnitProfile& p, const std::string& path, std::string& error) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    error = "is a folder, not a profile file";
    return false;
  }
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  if (in) s << in.rdbuf();
  if (!in || in.bad()) {
    error = std::string("cannot read: ") + std::strerror(errno != 0 ? errno : EIO);
    return false;
  }
  return ParseProfile(p, s.str(), error);
}

}  // namespace corv::sim
