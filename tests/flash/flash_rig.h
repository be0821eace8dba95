// The bench the flash tests run on: a virtual clock and line on COM3, a
// scripted console, the run context and link, the unit information, a machine
// folder of its own (registry), and a scripted unit at the far end that follows
// the program's line, parses the frames it gets and answers them as a boot
// loader and programmer would unless a test intercepts a frame.
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "flash/unit_info.h"
#include "link/crc16.h"
#include "link/link.h"
#include "sim/virtual_line.h"
#include "payloads/image_stream.h"
#include "platform/console.h"
#include "tests/common/frames.h"
#include "tests/common/scratch.h"

namespace corv::test {

struct Frame {
  std::vector<uint8_t> bytes;  // without the check
  uint64_t atUs = 0;
  int32_t baud = 0;
  uint16_t Code() const { return static_cast<uint16_t>(At(2, 2)); }
  // The `width` bytes at `i`, most significant first; 0 where the frame is shorter.
  uint32_t At(size_t i, size_t width) const {
    return i + width <= bytes.size() ? testing::GetBig(bytes.data() + i, width) : 0;
  }
};

using testing::Framed;
using testing::Put16;
using testing::Put32;
using testing::Put8;

// A unit that hears the program at whatever rate it uses.
class ScriptedUnit : public LineEnd {
 public:
  void Settle(VirtualLine& line, uint64_t) override { line.SetFarLine(line.HostBaud(), line.HostParity()); }
  void OnByte(VirtualLine& line, uint64_t atUs, uint8_t byte) override {
    line_ = &line;
    buf_.push_back(byte);
    const size_t need = testing::RequestLength(buf_, 6);
    if (need == 0 || buf_.size() < need) return;
    Frame f{std::vector<uint8_t>(buf_.begin(), buf_.end() - 2), atUs, line.HostBaud()};
    const bool intact = Crc16(buf_.data(), buf_.size()) == 0;
    buf_.clear();
    if (!intact) return;
    frames.push_back(f);
    ++count[f.Code()];
    if (intercept && intercept(f)) return;
    Default(f);
  }

  // Sends a reply frame (the check is appended) `delayUs` after the request.
  void Reply(const Frame& to, std::vector<uint8_t> body, uint64_t delayUs = 100) {
    const std::vector<uint8_t> w = corruptNext ? Corrupted(Framed(std::move(body))) : Framed(std::move(body));
    corruptNext = false;
    line_->FarSend(to.atUs + delayUs, w.data(), w.size());
  }
  void Echo(const Frame& f, size_t n) { Reply(f, std::vector<uint8_t>(f.bytes.begin(), f.bytes.begin() + n)); }

  // The answers of a working boot loader and programmer.
  void Default(const Frame& f) {
    std::vector<uint8_t> r(f.bytes.begin(), f.bytes.begin() + 4);
    switch (f.Code()) {
      case 0x1011:
      case 0x1022:
      case 0x1032:
      case 0x1033:
      case 0x1090:
      case 0x1091:
        Reply(f, r);
        break;
      case 0x1012:
        r.push_back(versionByte);
        Reply(f, r);
        break;
      case 0x1020: {
        const uint32_t a = f.At(4, 4), n = f.At(8, 1);
        for (uint32_t i = 0; i < n; ++i) ram[a + i] = f.bytes[9 + i];
        Echo(f, 9);
        break;
      }
      case 0x1021: {
        const uint32_t a = f.At(4, 4), n = f.At(8, 1);
        r = std::vector<uint8_t>(f.bytes.begin(), f.bytes.begin() + 9);
        for (uint32_t i = 0; i < n; ++i) r.push_back(ram.count(a + i) ? ram[a + i] : 0);
        Reply(f, r);
        break;
      }
      case 0x1030:
        r = std::vector<uint8_t>(f.bytes.begin(), f.bytes.begin() + 9);
        r.push_back(0);
        Reply(f, r);
        break;
      case 0x1040:
        r = std::vector<uint8_t>(f.bytes.begin(), f.bytes.begin() + 10);
        r.push_back(0);
        Reply(f, r);
        break;
      case 0x1031:
        r = std::vector<uint8_t>(f.bytes.begin(), f.bytes.begin() + 11);
        r.push_back(0);
        Reply(f, r);
        break;
      default:
        break;  // not a boot-loader command: no answer
    }
  }

  std::vector<Frame> Of(uint16_t code) const {
    std::vector<Frame> r;
    for (const Frame& f : frames)
      if (f.Code() == code) r.push_back(f);
    return r;
  }

  std::function<bool(const Frame&)> intercept;  // true: handled, no default answer
  std::vector<Frame> frames;
  std::map<uint16_t, int> count;
  std::map<uint32_t, uint8_t> ram;
  uint8_t versionByte = 0x33;
  bool corruptNext = false;

 private:
  static std::vector<uint8_t> Corrupted(std::vector<uint8_t> w) {
    w[w.size() / 2] ^= 0x10;
    return w;
  }
  std::vector<uint8_t> buf_;
  VirtualLine* line_ = nullptr;
};

// An image stream: start address, total length, records, end marker.
struct TestImage {
  std::vector<uint8_t> bytes;
  TestImage(uint32_t start, uint32_t total) {
    Put32(bytes, start);
    Put32(bytes, total);
  }
  TestImage& Record(uint32_t address, uint16_t length, uint8_t seed = 1) {
    Put32(bytes, address);
    Put16(bytes, length);
    for (uint32_t i = 0; i < length; ++i) bytes.push_back(static_cast<uint8_t>(seed + i * 7));
    return *this;
  }
  ImageStream Stream() {
    if (!ended_) {
      Put32(bytes, 0xFFFFFFFF);
      ended_ = true;
    }
    return ImageStream(bytes.data(), bytes.size());
  }

 private:
  bool ended_ = false;
};

struct Rig : testing::FakeRun {
  Rig() : driver(clock), line(driver.AddLine(3)), link(ctx, driver) {
    ctx.settings.debugOn = true;
    ctx.settings.portNumber = 3;
    ctx.settings.traceEnabled = true;
  }
  // Opens COM3 at a rate, as the connection leaves it.
  void Open(int32_t baud = 115200, bool even = false, int16_t timeoutMs = Link::longTimeoutMs) {
    ctx.settings.baudRate = baud;
    ctx.settings.paritySetting = even ? 1 : 0;
    ASSERT_TRUE(link.LockAndOpenPort(timeoutMs));
    link.RememberLineSettings();
  }
  // A unit in its boot loader of MCU type 3, version 3.
  void BootLoaderUnit(uint8_t mcu = 3, uint8_t version = 3) {
    line.Attach(&unit);
    info.mcuType = mcu;
    info.bootVersion = version;
    info.bootRelease = 9;
    info.cardFamily = 1;
    link.unitId = 1;
    link.softwareMode = modeCorvantaBootLoader;
  }
  const std::string& Out() const { return console.Output(); }
  size_t CountOf(const std::string& text) const { return testing::Count(Out(), text); }
  bool Has(const std::string& text) const { return testing::Contains(Out(), text); }

  testing::MachineFolderScope machine{"corv-flash"};  // its own registry hive, no lock folder
  VirtualPortDriver driver;
  VirtualLine& line;
  Link link;
  UnitInfo info;
  ScriptedUnit unit;
};

// Runs `f`, expecting the run to end through the fatal path; returns the status.
template <class F>
int FatalStatus(F&& f) {
  return testing::StatusOf(f, -1);
}

}  // namespace corv::test
