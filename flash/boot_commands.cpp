// The boot loader's and flash programmer's commands other than the block
// transfers: the rate step-up, the CTS wait, running a RAM program, the resets
// and the commands kept for the programmer's other uses.
#include "flash/boot_commands.h"

#include <string>

#include "link/commands.h"
#include "link/exchange.h"
#include "payloads/mcu_table.h"

namespace corv {

namespace {

constexpr int kAttempts = 20;
constexpr int kRateTries = 200;
constexpr uint32_t kCtsWaitMs = 1000;
constexpr uint32_t kCtsPollMs = 10;

void Reopen(Link& link, int32_t baud, bool even, int16_t timeoutMs) {
  if (!link.ReopenPort(baud, even, timeoutMs)) Fatal(link.ctx, "Unable to change baudrate");
}

// A unit that restarts does not drive CTS.
void EndHandshaking(Link& link) {
  Context& ctx = link.ctx;
  ctx.Detail() << "Hardware handshaking disabled\r\n";
  link.hardwareHandshaking = false;
  Reopen(link, ctx.settings.baudRate, ctx.settings.paritySetting != 0, Link::longTimeoutMs);
}

// The table index of the programming rate (-r), with its messages.
int ProgrammingRateIndex(Context& ctx, uint8_t mcuType) {
  int32_t rate = ctx.settings.programmingRate;
  if (rate == 0) return kDefaultRateIndex;
  const int32_t fastest = Mcu(mcuType).fastestProgrammingRate;
  if (fastest != 0 && rate > fastest) rate = fastest;
  if (rate > 115200) ctx.Notice() << "Using high speed baud rate = " << Dec{rate} << "\r\n";
  ctx.Detail() << "Programmer baud rate " << Dec{rate} << " specified\r\n";
  for (int i = 1; i <= 9; ++i) {
    if (kProgrammingRates[i] == rate) return i;
  }
  OutStream& n = ctx.Notice();
  n << "Unknown baudrate: " << Dec{rate} << "\r\n";
  n << "Available baudrates are:";
  for (int i = 1; i <= 9; ++i) n << " " << Dec{kProgrammingRates[i]};
  n << "\r\n";
  n << "Using " << Dec{115200} << "\r\n";
  return kDefaultRateIndex;
}

bool SetBaudRate(Link& link, int index) {
  return Exchange(link, link.bootAddress, cmd::kSetBaudRate).U8(static_cast<uint8_t>(index)).Run(Tries{});
}

// A command with nothing after the header either way, 20 attempts.
bool BareCommand(Link& link, const cmd::Command& c) {
  return Exchange(link, link.bootAddress, c).Run(Tries{kAttempts});
}

}  // namespace

bool StepUpBaudRate(Link& link, UnitInfo& info) {
  Context& ctx = link.ctx;
  const int32_t startBaud = ctx.settings.baudRate;
  const bool startEven = ctx.settings.paritySetting != 0;
  int index = ProgrammingRateIndex(ctx, info.mcuType);

  ctx.Detail() << "Stepping up baud rate to " << Dec{kProgrammingRates[index]} << "\r\n";
  if (!link.ReopenPort(kProgrammingRates[index], false, Link::normalTimeoutMs)) {
    ctx.Notice() << PortLabel(ctx.settings) << " does not suppport " << Dec{kProgrammingRates[index]}
                 << ", falling back to standard speed: baud rate = 115200\r\n";
    index = kDefaultRateIndex;
  }
  const int32_t rate = kProgrammingRates[index];
  for (int t = 0; t < kRateTries; ++t) {
    // The unit may still listen at the old rate, or already at the new one, or
    // (a restarted programmer) at its own start rate.
    switch (t % 4) {
      case 0:
        Reopen(link, startBaud, startEven, Link::normalTimeoutMs);
        break;
      case 1:
        Reopen(link, rate, false, Link::normalTimeoutMs);
        break;
      case 2:
        Reopen(link, 115200, false, Link::normalTimeoutMs);
        break;
      default:
        Reopen(link, 9600, false, Link::normalTimeoutMs);
        break;
    }
    if (SetBaudRate(link, index)) {
      ctx.Detail() << "OK - baud rate set\r\n";
      Reopen(link, rate, false, Link::longTimeoutMs);
      return true;
    }
  }
  return false;
}

bool WaitForCts(Link& link, UnitInfo& info) {
  Context& ctx = link.ctx;
  const uint32_t start = ctx.clock.TickMs();
  bool cts = false;
  for (;;) {
    SerialPort* port = link.Port();
    if (port && port->CtsOn()) {
      cts = true;
      break;
    }
    if (ctx.clock.TickMs() - start >= kCtsWaitMs) break;
    ctx.clock.SleepMs(kCtsPollMs);
  }
  if (!cts) {
    ctx.Notice() << "-- no CTS signal received from unit, overlapped mode turned off\r\n";
    info.overlapped = false;
    info.overlappedLatchedOff = true;
    return false;
  }
  ctx.Notice() << "Using overlapped (duplex) comms\r\n";
  ctx.Detail() << "Hardware handshaking enabled\r\n";
  link.hardwareHandshaking = true;
  Reopen(link, ctx.settings.baudRate, ctx.settings.paritySetting != 0, Link::longTimeoutMs);
  return true;
}

bool RunRamProgram(Link& link, uint32_t entry) {
  Context& ctx = link.ctx;
  ctx.Detail() << "Transferring to RAM program at $" << Hex{entry, 8} << "\r\n";
  if (!Exchange(link, link.bootAddress, cmd::kRunRamProgram).U32(entry).Run(Tries{kAttempts, true})) return false;
  ctx.Detail() << "OK - transferred to RAM program\r\n";
  ctx.clock.SleepMs(100);
  return true;
}

bool ResetUnit(Link& link, UnitInfo& info) {
  Context& ctx = link.ctx;
  ctx.Detail() << "Sending reset command to unit\r\n";
  if (BareCommand(link, cmd::kResetUnit)) {
    ctx.Detail() << "OK - reset command sent\r\n";
    link.softwareMode = modeUnknown;
    if (info.overlapped) EndHandshaking(link);
    return true;
  }
  // The unit may have restarted on a request whose reply was lost; only its
  // answering again can tell, and it will not answer through the handshake.
  if (link.hardwareHandshaking) EndHandshaking(link);
  return false;
}

bool ResetProgrammer(Link& link, UnitInfo& info) {
  Context& ctx = link.ctx;
  ctx.Detail() << "Sending reset programmer command to unit\r\n";
  if (!BareCommand(link, cmd::kResetProgrammer)) return false;
  ctx.Detail() << "OK - reset programmer command sent\r\n";
  // The restarted programmer listens at its start rate again.
  if (Mcu(info.mcuType).programmerStartRate != 0 && !StepUpBaudRate(link, info)) {
    Fatal(ctx, "Unable to change baud rate");
  }
  return true;
}

uint16_t GetBufferSize(Link& link, const UnitInfo& info) {
  constexpr uint16_t kDefault = 128;
  if (!Mcu(info.mcuType).answersBufferSize) return kDefault;
  if (link.softwareMode == modeCorvantaBootLoader && info.bootRelease <= 9) return kDefault;
  Context& ctx = link.ctx;
  ctx.Detail() << "Sending get buffer size command to unit\r\n";
  uint16_t size = 0;
  Exchange x(link, link.bootAddress, cmd::kGetBufferSize);
  if (!x.Run(Tries{2}, [&](ReplyFields& r) {
        size = r.U16();
        return true;
      })) {
    return kDefault;
  }
  ctx.Detail() << "OK - got buffer size: " << Dec{size} << "\r\n";
  return size;
}

bool ClearChip(Link& link, const UnitInfo& info) {
  Context& ctx = link.ctx;
  if (!Mcu(info.mcuType).lpc) {
    ctx.Notice() << "Only supported on LPC chips\r\n";
    return false;
  }
  ctx.Detail() << "Sending clear chip command to unit\r\n";
  if (!Exchange(link, link.bootAddress, cmd::kClearChip).Text("erase").Run(Tries{kAttempts})) return false;
  ctx.Detail() << "OK - clear chip command sent\r\n";
  return true;
}

bool ExternalMemoryStart(Link& link) {
  Context& ctx = link.ctx;
  ctx.Detail() << "Sending external memory start command to unit\r\n";
  if (!BareCommand(link, cmd::kExternalMemoryStart)) return false;
  ctx.Detail() << "OK - command sent\r\n";
  return true;
}

}  // namespace corv
