// Discovery and connection: the probe of one open port, the search of the
// saved port and COM1 to COM32, the opening of the run's port, the connection
// with its power-cycle waits, and the reconnection after a restart.
#include "link/discovery.h"

#include <string>
#include <string_view>

#include "link/commands.h"
#include "link/exchange.h"
#include "platform/registry_store.h"

namespace corv {

namespace {

// The unit's boot loader answers only in the first moments after power-on;
// these are the waits for the user to switch it off and on.
constexpr int kWaitAt9600Ms = 60000;
constexpr int kWaitAt115200Ms = 30000;
// A unit whose boot loader answers but whose versions never come would
// otherwise be asked for power cycles for ever.
constexpr int kConnectCycles = 20;

void ReopenOrFatal(Link& link, int32_t baud, int16_t timeout) {
  if (!link.ReopenPort(baud, false, timeout)) Fatal(link.ctx, "Unable to change baudrate");
}

bool Contains(const uint8_t* data, int n, std::string_view text) {
  if (n <= 0) return false;
  const std::string_view got(reinterpret_cast<const char*>(data), static_cast<size_t>(n));
  return got.find(text) != std::string_view::npos;
}

void FoundBootLoader(Link& link, std::string_view okLine) {
  Context& ctx = link.ctx;
  ctx.Detail() << okLine << "\r\n";
  ctx.Notice() << "\r\n-- Found Unit (corvanta boot loader)\r\n";
  link.RememberLineSettings();
  link.unitId = link.bootAddress;
  link.connected = true;
  link.softwareMode = modeCorvantaBootLoader;
}

// The processor's ISP boot loader answers "?" with its autobaud text.
bool ProbeLpc(Link& link) {
  Context& ctx = link.ctx;
  ctx.Detail() << "Checking for LPC chip\r\n";
  ReopenOrFatal(link, 115200, Link::normalTimeoutMs);
  SerialPort* port = link.Port();
  const uint8_t query = '?';
  if (!port || port->Transmit(&query, 1) != 1) return false;
  uint8_t buf[80];
  if (!Contains(buf, port->Receive(buf, sizeof buf), "Synchronized\r\n")) return false;
  ctx.Notice() << "-- LPC chip found\r\n";
  const std::string_view sync = "Synchronized\r\n";
  if (port->Transmit(reinterpret_cast<const uint8_t*>(sync.data()), static_cast<uint16_t>(sync.size())) ==
          static_cast<int>(sync.size()) &&
      Contains(buf, port->Receive(buf, sizeof buf), "OK\r\n")) {
    link.RememberLineSettings();
    link.connected = true;
    link.softwareMode = modeLpcIsp;
    return true;
  }
  ctx.Notice() << "-- synchronization failed\r\n";
  return false;
}

// "AT\r" answered by "OK" somewhere after blanks and line ends.
bool ProbeModem(Link& link) {
  Context& ctx = link.ctx;
  ctx.Detail() << "Checking for modem\r\n";
  ReopenOrFatal(link, 9600, Link::normalTimeoutMs);
  SerialPort* port = link.Port();
  const uint8_t at[3] = {'A', 'T', '\r'};
  if (!port || port->Transmit(at, 3) != 3) return false;
  uint8_t buf[41];
  const int n = port->Receive(buf, sizeof buf);
  if (n < 2) return false;
  for (int i = 0; i < n;) {
    const uint8_t b = buf[i];
    if (b <= 32) {
      i += 2;
    } else if (b == 'O') {
      if (i + 1 == n || buf[i + 1] == 'K') return true;
      i += 2;
    } else {
      return false;
    }
  }
  return false;
}

// A whole line typed on the console, read key by key and echoed; -1 when the
// input ended before anything was typed.
int ReadConsoleNumber(Context& ctx) {
  std::string line;
  bool any = false;
  for (;;) {
    const int k = ctx.console.ReadKey();
    if (k < 0) break;
    any = true;
    if (k == '\r' || k == '\n') break;
    if ((k == 8 || k == 127) && !line.empty()) {
      line.pop_back();
      ctx.Plain() << "\b \b";
    } else if (k >= 32 && k < 127) {
      line.push_back(static_cast<char>(k));
      ctx.Plain() << static_cast<char>(k);
    }
    ctx.console.Flush();
  }
  if (!any) return -1;
  return DecimalValue(line);
}

// The saved port as a number; 0 when none is saved (or it cannot be a port number).
int16_t SavedPort() {
  const int32_t v = DecimalValue(RegGetMachineString(kSavedPortPath));
  if (v < INT16_MIN || v > INT16_MAX) return 0;
  return static_cast<int16_t>(v);
}

// One port of the search: opened at 19200 without parity and probed.
// `fail` tells what kept the port from opening (Opened when it opened).
bool TryPort(Link& link, int16_t n, bool full, OpenOutcome& fail) {
  Context& ctx = link.ctx;
  ctx.settings.portNumber = n;
  ctx.settings.baudRate = 19200;
  ctx.settings.paritySetting = 0;
  link.RememberLineSettings();
  fail = OpenOutcome::Opened;
  if (!link.LockAndOpenPort(Link::shortTimeoutMs)) {
    fail = link.lastOpen.outcome;
    return false;
  }
  ctx.Notice() << "Probing COM" << Dec{n} << "\r\n";
  if (ProbeUnit(link, full)) return true;
  link.ClosePortAndUnlock();
  return false;
}

bool SearchPass(Link& link, int16_t saved, bool full) {
  Context& ctx = link.ctx;
  OutStream& notice = ctx.Notice();
  OpenOutcome fail = OpenOutcome::Opened;
  if (saved != 0) {
    notice << "Using saved comm port number: COM" << Dec{saved} << "\r\n";
    if (TryPort(link, saved, full, fail)) return true;
    if (fail == OpenOutcome::NotPresent) {
      notice << "COM" << Dec{saved} << " is not present on this computer\r\n";
    } else if (fail == OpenOutcome::Busy) {
      notice << "COM" << Dec{saved} << " is being used by another application";
      ctx.out.FinishLine();  // said without a line end; the next message goes below
    } else if (fail != OpenOutcome::Opened) {
      notice << "COM" << Dec{saved} << " ERROR: " << link.lastOpen.errorText;
      ctx.out.FinishLine();
    }
  }
  for (int16_t n = 1; n <= 32; ++n) {
    if (n == saved) continue;
    if (TryPort(link, n, full, fail)) return true;
    if (fail == OpenOutcome::Busy) {
      notice << "COM" << Dec{n} << " is being used by another application\r\n";
    }
  }
  return false;
}

// The boot loader caught in its start-up window at one rate, or not.
bool CatchBootLoader(Link& link, int32_t baud, int waitMs) {
  Context& ctx = link.ctx;
  link.unitId = 1;
  link.bootAddress = 1;
  ReopenOrFatal(link, baud, Link::shortTimeoutMs);
  link.RememberLineSettings();
  ctx.Detail() << "Sending boot loader response request\r\n";
  const int attempts = waitMs / Link::shortTimeoutMs;
  for (int i = 0; i < attempts; ++i) {
    AbortCheck(ctx);
    if (BootLoaderResponseExchange(link)) {
      ctx.Detail() << "OK - got boot loader response\r\n";
      link.unitId = link.bootAddress;
      link.softwareMode = modeCorvantaBootLoader;
      ctx.Notice() << "\r\n-- Found Unit (corvanta boot loader)\r\n";
      link.connected = true;
      return true;
    }
  }
  return false;
}

void SoftwareModeNote(Link& link) {
  if (link.softwareMode == modeUnknown) link.ctx.Detail() << "-- Software mode of unit is unknown\r\n";
}

}  // namespace

void AbortCheck(Context& ctx) {
  if (EscapePressed(ctx)) Fatal(ctx, "Aborted");
}

bool QuickResponseExchange(Link& link) { return Exchange::Quick(link, link.unitId).Run(Tries{}); }

bool BootLoaderResponseExchange(Link& link, const Tries& tries) {
  uint8_t version = 0;
  Exchange x(link, link.bootAddress, cmd::kBootLoaderResponse);
  if (!x.Run(tries, [&](ReplyFields& r) {
        version = r.U8();
        return true;
      })) {
    return false;
  }
  link.bootVersionByte = version;
  return true;
}

bool VersionRequest(Link& link, UnitVersions& out) {
  UnitVersions v;
  Exchange x(link, link.unitId, cmd::kVersions);
  const bool ok = x.Run(Tries{.attempts = 20, .escapable = true}, [&](ReplyFields& r) {
    v = {r.U16(), r.U16(), r.U16(), r.U16()};
    return true;
  });
  if (ok) out = v;
  return ok;
}

bool ProbeUnit(Link& link, bool full) {
  Context& ctx = link.ctx;
  const RunSettings& s = ctx.settings;
  link.softwareMode = modeUnknown;
  link.connected = false;
  link.bootAddress = 1;

  if (s.unitIdGiven) {
    ctx.Detail() << "Checking Unit ID...\r\n";
    for (int r = 0; r < 200; ++r) {
      AbortCheck(ctx);
      ReopenOrFatal(link, r % 2 == 0 ? 9600 : 115200, Link::normalTimeoutMs);
      ctx.Detail() << "Sending boot loader response request\r\n";
      if (BootLoaderResponseExchange(link)) {
        FoundBootLoader(link, "OK - Got boot loader response");
        return true;
      }
      link.ReopenAtRememberedRate(Link::normalTimeoutMs);
      ctx.Detail() << "Sending quick response request\r\n";
      // The address asked for, even when an earlier port's search moved unitId.
      link.unitId = s.requestedUnitId;
      if (QuickResponseExchange(link)) {
        ctx.Detail() << "OK - got quick response request\r\n";
        ctx.Notice() << "-- Found Unit ID = " << Hex{link.unitId, 2} << "\r\n";
        link.RememberLineSettings();
        link.connected = true;
        link.softwareMode = modeCorvantaSoftware;
        return true;
      }
    }
  }

  if (ProbeLpc(link)) return true;
  if (ProbeModem(link)) {
    ctx.Notice() << "-- Modem found\r\n";
    return false;
  }

  ctx.Notice() << "Searching for unit ID...\r\n";
  ctx.Detail() << "Sending boot loader response request\r\n";
  for (int32_t baud : {9600, 115200}) {
    ReopenOrFatal(link, baud, Link::normalTimeoutMs);
    if (BootLoaderResponseExchange(link)) {
      FoundBootLoader(link, "OK - Got boot loader response");
      return true;
    }
  }

  ctx.Detail() << "Sending quick response request\r\n";
  link.unitId = 240;
  link.ReopenAtRememberedRate(Link::shortTimeoutMs);
  ctx.Detail() << "Unit ID=" << Hex{link.unitId, 2} << "\r\n";
  for (int a = 0;;) {
    AbortCheck(ctx);
    if (a == 0) {
      ctx.Notice() << ".";
      ctx.console.Flush();
    }
    if (QuickResponseExchange(link)) break;
    if (++a > 4) {
      const uint8_t id = link.unitId;
      if (id == 240) {
        link.unitId = 1;
      } else if (id == 1) {
        if (!full || s.manufacturingMode) return false;
        link.unitId = 2;
      } else if (id >= 2 && id <= 32) {
        link.unitId = static_cast<uint8_t>(id + 1);
      } else {
        ctx.Notice() << "\r\n";
        return false;
      }
      ctx.Detail() << "Unit ID=" << Hex{link.unitId, 2} << "\r\n";
      a = 0;
    }
    link.StepRate(Link::shortTimeoutMs);
  }
  ctx.Notice() << "\r\n";
  if (link.unitId == 240) {
    ctx.Notice() << "-- Found Unit (direct connection)\r\n";
  } else {
    ctx.Notice() << "-- Found Unit ID = " << Hex{link.unitId, 2} << "\r\n";
  }
  link.connected = true;
  link.softwareMode = modeCorvantaSoftware;
  return true;
}

bool SearchPorts(Link& link) {
  link.ctx.Notice() << "Searching ports...\r\n";
  const int16_t saved = SavedPort();
  return SearchPass(link, saved, false) || SearchPass(link, saved, true);
}

void OpenUnitPort(Link& link) {
  Context& ctx = link.ctx;
  RunSettings& s = ctx.settings;
  // A network port named directly is the one port there is: never searched for.
  if (s.portNumber == 0 && s.portName.empty()) {
    if (SearchPorts(link)) return;
    ctx.Plain() << "Please enter COM port number (1,2,3...): ";
    ctx.console.Flush();
    const int answer = ReadConsoleNumber(ctx);
    ctx.Plain() << "\r\n";
    // Without an answer there is nothing left to try: the search found nothing.
    if (answer < 0) Fatal(ctx, "Cannot find Corvanta unit");
    s.portNumber = static_cast<int16_t>(answer);
  }
  const std::string port = PortLabel(s);
  ctx.Notice() << "Opening " << port << "\r\n";
  link.RememberLineSettings();
  if (link.LockAndOpenPort(Link::shortTimeoutMs)) {
    ProbeUnit(link, true);
    return;
  }
  const OpenOutcome fail = link.lastOpen.outcome;
  if (fail == OpenOutcome::NotPresent && s.portName.empty()) {
    ctx.Notice() << port << " is not present on this computer\r\n";
    if (!SearchPorts(link)) Fatal(ctx, "Cannot find Corvanta unit");
    return;
  }
  TextStream message;
  if (fail == OpenOutcome::Busy) {
    message << port << " is being used by another application";
  } else {
    message << port << " ERROR:" << link.lastOpen.errorText;
  }
  Fatal(ctx, message.Text());
}

bool ConnectUnit(Link& link) {
  Context& ctx = link.ctx;
  ctx.Notice() << "Connecting to Corvanta unit...\r\n";
  UnitVersions v;
  bool read = false;
  for (int cycle = 0; cycle < kConnectCycles && !read; ++cycle) {
    if (!link.connected) {
      ctx.Notice() << "Attempting to connect to boot loader, please turn the unit power off and on now\r\n";
      ctx.console.Flush();
      if (!CatchBootLoader(link, 9600, kWaitAt9600Ms)) {
        ctx.Notice() << "Attempting to connect to boot loader at 115200 baud, please turn the unit power off "
                        "and on now\r\n";
        ctx.console.Flush();
        if (!CatchBootLoader(link, 115200, kWaitAt115200Ms)) return false;
      }
    }
    link.ReopenAtRememberedRate(Link::longTimeoutMs);
    ctx.Detail() << "Sending version request\r\n";
    read = VersionRequest(link, v);
    if (!read) link.connected = false;
  }
  if (!read) return false;
  ctx.Detail() << "OK - got versions\r\n";
  link.versions = v;
  if (link.versionsRead) link.versionsRead();
  SoftwareModeNote(link);
  return true;
}

bool SoftwareAnswers(Link& link) {
  Context& ctx = link.ctx;
  link.ReopenAtRememberedRate(Link::normalTimeoutMs);
  for (int k = 0; k < 50; ++k) {
    AbortCheck(ctx);
    if (QuickResponseExchange(link)) {
      ctx.Detail() << "\r\nOK - got quick response (" << Dec{k} << " retries)\r\n";
      link.softwareMode = modeCorvantaSoftware;
      return true;
    }
  }
  return false;
}

bool Reconnect(Link& link) {
  Context& ctx = link.ctx;
  ctx.Detail() << "Reconnecting\r\n";
  bool contact = SoftwareAnswers(link);
  for (int cycle = 0; cycle < 20; ++cycle) {
    if (!contact) {
      ReopenOrFatal(link, 19200, Link::shortTimeoutMs);
      link.RememberLineSettings();
      contact = ProbeUnit(link, true);
    }
    if (!contact) continue;
    link.ReopenAtRememberedRate(Link::longTimeoutMs);
    ctx.Detail() << "Sending version request\r\n";
    UnitVersions v;
    if (VersionRequest(link, v)) {
      ctx.Detail() << "OK - got versions\r\n";
      link.versions = v;
      SoftwareModeNote(link);
      return true;
    }
    contact = false;
  }
  return false;
}

}  // namespace corv
