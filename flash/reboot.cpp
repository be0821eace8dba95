// The reset loop that brings a running unit into its boot loader. A unit may
// be running its software at any of several rates and addresses, and its boot
// loader may start at 9600 or 115200 or at the software's own rate, so the loop
// walks fixed tables of port settings: per reset try (t mod 10) and per pass
// (pass mod 6).
#include "flash/reboot.h"

#include "flash/interrogation.h"
#include "link/commands.h"
#include "link/discovery.h"
#include "link/exchange.h"

namespace corv {

namespace {

constexpr int kPasses = 40;
constexpr int kResetTries = 200;
constexpr int kVersionTries = 400 / Link::shortTimeoutMs;

struct LineSetting {
  int32_t baud;
  bool even;
};

void Reopen(Link& link, LineSetting s, int16_t timeoutMs) {
  if (!link.ReopenPort(s.baud, s.even, timeoutMs)) Fatal(link.ctx, "Unable to change baudrate");
}

// One reset try: the port setting and address of try t.
void SetUpResetTry(Link& link, int t, LineSetting start, uint8_t& address) {
  const LineSetting remembered{Link::rateTable[link.rateIndex], link.rememberedParity};
  static constexpr struct {
    int32_t baud;  // 0: the starting setting, -1: the remembered rate
    bool toBoot;
  } kTries[10] = {{0, false},     {0, true},       {-1, false},    {9600, true},   {115200, true},
                  {19200, false}, {115200, false}, {9600, false},  {38400, false}, {57600, false}};
  const auto& row = kTries[t % 10];
  const LineSetting s = row.baud == 0 ? start : row.baud < 0 ? remembered : LineSetting{row.baud, false};
  Reopen(link, s, Link::shortTimeoutMs);
  address = row.toBoot ? link.bootAddress : link.unitId;
}

// The port setting the boot loader is looked for at after reset `pass`.
void SetUpBootLoaderLine(Link& link, int pass, LineSetting start, bool preferCurrentRate) {
  Context& ctx = link.ctx;
  if (preferCurrentRate && pass < 6) {
    Reopen(link, {Link::rateTable[link.rateIndex], link.rememberedParity}, Link::shortTimeoutMs);
    return;
  }
  // The boot loader of some units only answers on a line that was not
  // reopened; the change in place records the new setting as the current one.
  auto inPlace = [&](LineSetting s) { link.ChangeLineInPlace(s.baud, s.even); };
  switch (pass % 6) {
    case 0:
      Reopen(link, {9600, false}, Link::shortTimeoutMs);
      break;
    case 1:
      inPlace({9600, false});
      ctx.Detail() << "baud rate = " << Dec{9600} << " (no parity) (alternative baud rate setting)\r\n";
      break;
    case 2:
      Reopen(link, {115200, false}, Link::shortTimeoutMs);
      break;
    case 3:
      inPlace({115200, false});
      ctx.Detail() << "baud rate = " << Dec{115200} << " (no parity) (alternative baud rate setting)\r\n";
      break;
    case 4:
      Reopen(link, start, Link::shortTimeoutMs);
      break;
    default:
      inPlace(start);
      ctx.Detail() << "baud rate = " << Dec{start.baud} << " (alternative baud rate setting)\r\n";
      break;
  }
}

// 0x1013: the release record, 2 attempts; the record goes into `info` once
// it is accepted.
bool AskBootLoaderRelease(Link& link, UnitInfo& info) {
  UnitInfo r = info;
  Exchange x(link, link.bootAddress, cmd::kBootLoaderRelease);
  if (!x.U8(1).Run(Tries{2}, [&](ReplyFields& f) {
        r.bootRecordByte = f.U8();
        r.mcuType = f.U8();
        r.bootVersion = f.U8();
        r.bootRelease = f.U8();
        r.checksum = f.U32();
        r.bootFlags = f.U8();
        return true;
      })) {
    return false;
  }
  info = r;
  return true;
}

}  // namespace

bool RebootToBootLoader(Link& link, UnitInfo& info, bool preferCurrentRate) {
  Context& ctx = link.ctx;
  const LineSetting start{ctx.settings.baudRate, ctx.settings.paritySetting != 0};
  ctx.Detail() << "Rebooting unit\r\n";
  if (info.overlapped) {
    ctx.Detail() << "Hardware handshaking disabled\r\n";
    link.hardwareHandshaking = false;
  }

  bool answered = false;
  for (int pass = 0; pass < kPasses && !answered; ++pass) {
    ctx.Detail() << "Sending reset command\r\n";
    bool reset = false;
    for (int t = 0; t < kResetTries && !reset; ++t) {
      uint8_t address = 0;
      SetUpResetTry(link, t, start, address);
      reset = Exchange(link, address, cmd::kResetToBootLoader).Run(Tries{});
    }
    if (!reset) return false;
    ctx.Detail() << "OK - unit reset\r\n";

    SetUpBootLoaderLine(link, pass, start, preferCurrentRate);
    ctx.Detail() << "Getting boot loader version\r\n";
    answered = BootLoaderResponseExchange(link, Tries{kVersionTries});
    if (answered) ctx.Detail() << "OK - rebooted to boot loader\r\n";
  }
  if (!answered) return false;

  link.softwareMode = modeCorvantaBootLoader;
  Reopen(link, {ctx.settings.baudRate, ctx.settings.paritySetting != 0}, Link::normalTimeoutMs);

  ctx.Detail() << "Getting boot loader release\r\n";
  if (AskBootLoaderRelease(link, info)) {
    ctx.Detail() << "OK - got boot release\r\n";
  } else {
    // An older boot loader has no release record: its version byte is all.
    info.mcuType = static_cast<uint8_t>(link.bootVersionByte >> 4);
    info.bootVersion = static_cast<uint8_t>(link.bootVersionByte & 0x0F);
    info.bootRelease = info.bootVersion;
    info.bootRecordByte = 0;
    info.checksum = 0;
    info.bootFlags = 0;
  }
  PrintBootLoaderBlock(ctx, info);
  SelectProgrammers(link, info);
  return true;
}

}  // namespace corv
