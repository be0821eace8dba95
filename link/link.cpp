// The link record's operations: the lock file and the opening of the port with
// its wait for a busy port, closing and unlocking, reopening at other line
// settings with its messages and retries, and the rate list. Every way out of a
// run but a signal goes through ClosePortAndUnlock (the link's registration in
// the held record); a signal gives back the lock file and the port from the
// record alone.
#include "link/link.h"

#include "platform/system_error.h"
#include "support/files.h"

namespace corv {

namespace {

OpenResult Refused(OpenOutcome outcome, int err) {
  OpenResult r;
  r.outcome = outcome;
  r.systemError = err;
  r.errorText = SystemErrorText(err);
  return r;
}

}  // namespace

int OpenErrorCode(const OpenResult& r) {
  switch (r.outcome) {
    case OpenOutcome::Opened: return 0;
    case OpenOutcome::NotPresent: return kErrorNotPresent;
    case OpenOutcome::Busy: return kErrorPortBusy;
    case OpenOutcome::SettingRefused: return kErrorSettingRefused;
    case OpenOutcome::OtherError: break;
  }
  return r.systemError;
}

std::string LockFilePath(const std::string& lockDir, int16_t port) {
  TextStream s;
  s << WithTrailingSeparator(lockDir) << "lockCorvantaCommPort" << Dec{port};
  return s.Text();
}

Link::Link(Context& c, PortDriver& d) : ctx(c), driver(d), packet(c) {
  unitId = ctx.settings.requestedUnitId;
}

Link::~Link() { ClosePortAndUnlock(); }

void Link::Holding() {
  owner_.Take(held::Kind::Port, [this] { ClosePortAndUnlock(); });
}

bool Link::CurrentLine(LineSettings& line) {
  const RunSettings& s = ctx.settings;
  if (s.portNumber < 1 && s.portName.empty()) {
    lastOpen = Refused(OpenOutcome::NotPresent, NoSuchDeviceError());
    return false;
  }
  if (s.baudRate <= 0) {
    // Rate 0 would mean hang-up on a real line; no port is set to such a rate.
    lastOpen = Refused(OpenOutcome::SettingRefused, InvalidSettingError());
    return false;
  }
  line.baud = s.baudRate;
  line.stopBits = stopBitsSetting;
  line.parity = s.paritySetting != 0;
  line.even = s.paritySetting != 0;
  line.cts = hardwareHandshaking;
  return true;
}

bool Link::OpenOnce(int16_t timeout) {
  port_.reset();
  LineSettings line;
  if (!CurrentLine(line)) return false;
  const RunSettings& s = ctx.settings;
  port_ = s.portName.empty() ? driver.Open(s.portNumber, line, timeout, lastOpen)
                             : driver.OpenNamed(s.portName, line, timeout, lastOpen);
  if (!port_) return false;
  Holding();
  const int trip = port_->RoundTripMs();
  if (trip >= 0 && !roundTripSaid_) {
    ctx.Detail() << "Network round trip = " << Dec{trip} << "ms\r\n";
    roundTripSaid_ = true;
  }
  openNumber_ = ctx.settings.portNumber;
  timeoutMs = timeout;
  packet.Reset();
  return true;
}

bool Link::ChangeOnce(int16_t timeout) {
  LineSettings line;
  if (!CurrentLine(line) || !port_->Reconfigure(line, timeout, lastOpen)) return false;
  timeoutMs = timeout;
  packet.Reset();
  return true;
}

bool Link::LockAndOpenPort(int16_t timeout) {
  // A port or lock still held from an earlier open would be left behind by the
  // new one: give them back first.
  if (PortOpen() || !lockPath.empty()) ClosePortAndUnlock();

  // Only a file this run made is ever removed; one found there (another run's,
  // or one left by a run that had no way out) stays as it is.
  // A network port named directly has no number to mark: its server keeps
  // other clients off.
  const std::string lockDir = ctx.settings.portName.empty() ? ctx.settings.lockFolder : std::string();
  const auto makeLock = [&] {
    if (lockDir.empty()) return;
    std::string path = LockFilePath(lockDir, ctx.settings.portNumber);
    int error = 0;
    lock_ = held::MakeLockFile(path, error);
    if (lock_ != held::kNone) {
      lockPath = std::move(path);
      Holding();
    } else {
      ctx.Detail() << "Cannot create lock file " << path << "\r\n" << SystemErrorText(error) << "\r\n";
    }
  };
  makeLock();

  bool waited = false;
  for (int attempt = 1; attempt <= 100; ++attempt) {
    if (OpenOnce(timeout)) {
      if (waited) {
        ctx.Notice() << "\r\n";
        // The holder's file went with the holder: the port is marked anew.
        if (lockPath.empty()) makeLock();
      }
      if (!lockDir.empty()) ctx.Notice() << "Using CORVANTALOCKDIR=" << lockDir << "\r\n";
      return true;
    }
    if (lastOpen.outcome != OpenOutcome::Busy) break;
    waited = true;
    ctx.Notice() << ".";
    ctx.console.Flush();
    if (attempt == 100) break;
    ctx.clock.SleepMs(100);
    if (EscapePressed(ctx)) Fatal(ctx, "Aborted");
  }
  // The file this run made for a port it did not get goes at once.
  ClosePortAndUnlock();
  return false;
}

void Link::ClosePortAndUnlock() {
  // The file goes while the port is still held, so that a run that gets the
  // port next never finds this run's file and goes without its own.
  if (!lockPath.empty()) {
    const std::string path = std::move(lockPath);
    lockPath.clear();
    if (const int err = held::Release(lock_)) {
      ctx.Notice() << "Cannot delete lock file " << path << "\r\n" << SystemErrorText(err) << "\r\n";
    }
    lock_ = held::kNone;
  }
  port_.reset();
  owner_.Drop();
}

bool Link::ReopenPort(int32_t baud, bool even, int16_t timeout) {
  // The open port is changed where it stands, never closed: between a close and
  // an open another program could take it. A port of another number goes.
  if (port_ && openNumber_ != ctx.settings.portNumber) port_.reset();
  packet.Reset();
  ctx.settings.baudRate = baud;
  ctx.settings.paritySetting = even ? 1 : 0;
  const std::string port = PortLabel(ctx.settings);
  for (int attempt = 1; attempt <= 20; ++attempt) {
    if (port_ ? ChangeOnce(timeout) : OpenOnce(timeout)) {
      ctx.Detail() << "baud rate = " << Dec{baud} << " " << (even ? "(even parity)" : "(no parity)")
                   << " timeout=" << Dec{timeout} << "ms\r\n";
      return true;
    }
    OutStream& d = ctx.Detail();
    d << "Error re-opening port: ";
    // By what failed, not by number: a failed step's own errno may equal one
    // of the numbers that stand for these (EIO is 5 on Linux).
    switch (lastOpen.outcome) {
      case OpenOutcome::NotPresent:
        d << port << " is not present on this computer\r\n";
        break;
      case OpenOutcome::Busy:
        d << port << " is being used by another application\r\n";
        break;
      case OpenOutcome::SettingRefused:
        d << port << " does not support requested baud rate\r\n";
        return false;
      default:
        d << port << ":" << Dec{OpenErrorCode(lastOpen)} << ":" << lastOpen.errorText << "\r\n";
        break;
    }
    if (attempt == 20) Fatal(ctx, lastOpen.errorText);
    ctx.clock.SleepMs(25);
  }
  return false;
}

bool Link::ChangeLineInPlace(int32_t baud, bool even) {
  if (!port_ || baud <= 0) return false;
  LineSettings line;
  line.baud = baud;
  line.stopBits = stopBitsSetting;
  line.parity = even;
  line.even = even;
  line.cts = hardwareHandshaking;
  if (port_->SetLine(line) < 0) return false;
  ctx.settings.baudRate = baud;
  ctx.settings.paritySetting = even ? 1 : 0;
  return true;
}

void Link::RememberLineSettings() {
  for (int16_t i = 0; i < 5; ++i) {
    if (rateTable[i] == ctx.settings.baudRate) {
      rateIndex = i;
      break;
    }
  }
  rememberedParity = ctx.settings.paritySetting != 0;
}

void Link::ReopenAtRememberedRate(int16_t timeout) {
  if (!ReopenPort(rateTable[rateIndex], rememberedParity, timeout)) Fatal(ctx, "Unable to change baudrate");
}

void Link::StepRate(int16_t timeout) {
  if (ctx.settings.lockBaud) return;
  rateIndex = static_cast<int16_t>((rateIndex + 1) % 5);
  ReopenAtRememberedRate(timeout);
}

}  // namespace corv
