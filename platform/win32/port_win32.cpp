// The comm-API port: the line in the device control block (read back after
// every write: a rate the driver does not keep is a refused setting), the comm
// time-outs for the total read time-out and the per-byte write time-out,
// PurgeComm, ClearCommError for the line errors and GetCommModemStatus for CTS.
#include "platform/win32/port_win32.h"

#include <windows.h>

#include "platform/port_base.h"
#include "platform/system_port.h"
#include "platform/system_error.h"
#include "platform/win32/held_record.h"

namespace corv {
namespace {

// Writes the line configuration into the device control block and reads it
// back: 0, or the system's error code of the failed step (87 for a rate the
// driver would not keep).
DWORD ApplyLine(HANDLE h, const LineSettings& line) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(h, &dcb)) return GetLastError();
  dcb.BaudRate = static_cast<DWORD>(line.baud);
  dcb.ByteSize = 8;
  dcb.fParity = line.parity ? TRUE : FALSE;
  dcb.Parity = line.parity ? (line.even ? EVENPARITY : ODDPARITY) : NOPARITY;
  dcb.StopBits = line.stopBits == 1 ? ONESTOPBIT : TWOSTOPBITS;
  dcb.fBinary = TRUE;
  dcb.fOutxCtsFlow = line.cts ? TRUE : FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fNull = FALSE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fAbortOnError = FALSE;
  if (!SetCommState(h, &dcb)) return GetLastError();
  DCB now{};
  now.DCBlength = sizeof now;
  if (!GetCommState(h, &now)) return GetLastError();
  // A driver may take a rate it cannot make and keep another (some drivers,
  // and Wine, fall back to a standard one without a word).
  if (now.BaudRate != dcb.BaudRate) return ERROR_INVALID_PARAMETER;
  return 0;
}

// The read time-out as the total of each read (0: what is buffered, at once),
// and the write time-out of 10000 / baud + 1 ms per byte plus one second.
DWORD ApplyTimeouts(HANDLE h, int32_t baud, int16_t readTimeoutMs) {
  COMMTIMEOUTS t{};
  if (!GetCommTimeouts(h, &t)) return GetLastError();
  const DWORD ms = readTimeoutMs > 0 ? static_cast<DWORD>(readTimeoutMs) : 0;
  t.ReadIntervalTimeout = ms == 0 ? MAXDWORD : 0;
  t.ReadTotalTimeoutMultiplier = 0;
  t.ReadTotalTimeoutConstant = ms;
  t.WriteTotalTimeoutMultiplier = static_cast<DWORD>(10000 / (baud > 0 ? baud : 1) + 1);
  t.WriteTotalTimeoutConstant = 1000;
  if (!SetCommTimeouts(h, &t)) return GetLastError();
  return 0;
}

}  // namespace

class Win32PortDriver::Port : public PortBase {
 public:
  Port(const PortDriver::ErrorHook& hook, held::Token held, HANDLE h, int32_t baud)
      : PortBase(hook), held_(held), h_(h), baud_(baud) {}
  ~Port() override {
    // A way out may have given the port back already: then nothing is left.
    if (!held::Holds(held_)) return;
    Purge();
    held::Release(held_);
  }

  int SetLine(const LineSettings& line) override {
    Purge();
    if (const DWORD err = ApplyLine(h_, line)) {
      error_ = err;
      ReportSystemError();
      return -1;
    }
    baud_ = line.baud;
    return 1;
  }

  int CtsOn() override {
    DWORD status = 0;
    if (!GetCommModemStatus(h_, &status)) {
      error_ = GetLastError();
      ReportSystemError();
      return 0;
    }
    return (status & MS_CTS_ON) ? 1 : 0;
  }

 protected:
  int ReadOnce(uint8_t* buf, uint16_t count) override {
    DWORD n = 0;
    if (!ReadFile(h_, buf, count, &n, nullptr)) {
      error_ = GetLastError();
      return -1;
    }
    return static_cast<int>(n);
  }

  int WriteOnce(const uint8_t* data, uint16_t count) override {
    DWORD n = 0;
    if (!WriteFile(h_, data, count, &n, nullptr)) {
      error_ = GetLastError();
      return -1;
    }
    return static_cast<int>(n);
  }

  bool DiscardPending() override {
    if (PurgeComm(h_, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) return true;
    error_ = GetLastError();
    return false;
  }

  bool FetchLineErrors(LineErrors& errors) override {
    DWORD flags = 0;
    if (!ClearCommError(h_, &flags, nullptr)) {
      error_ = GetLastError();
      return false;
    }
    errors = LineErrors{};
    errors.frame = (flags & CE_FRAME) != 0;
    errors.overrun = (flags & CE_OVERRUN) != 0;
    errors.parity = (flags & CE_RXPARITY) != 0;
    errors.brk = (flags & CE_BREAK) != 0;
    errors.other = (flags & ~static_cast<DWORD>(CE_FRAME | CE_OVERRUN | CE_RXPARITY | CE_BREAK)) != 0;
    return true;
  }

  std::string ErrorText() const override { return SystemErrorText(static_cast<int>(error_)); }
  int LastError() const override { return static_cast<int>(error_); }

  void SetReadTimeout(int16_t ms) override {
    if (const DWORD err = ApplyTimeouts(h_, baud_, ms)) {
      error_ = err;
      ReportSystemError();
    }
  }

  OpenOutcome OutcomeOfLineFailure(int err) const override {
    switch (err) {
      case ERROR_INVALID_PARAMETER:
        return OpenOutcome::SettingRefused;
      case ERROR_FILE_NOT_FOUND:
      case ERROR_DEVICE_REMOVED:
      case ERROR_BAD_COMMAND:
        return OpenOutcome::NotPresent;
      default:
        return OpenOutcome::OtherError;
    }
  }

 private:
  held::Token held_;
  HANDLE h_;
  int32_t baud_;
  DWORD error_ = 0;
};

std::string Win32PortDriver::DevicePath(int16_t port) {
  if (port < 1) return {};
  return "\\\\.\\COM" + std::to_string(port);
}

std::unique_ptr<SerialPort> Win32PortDriver::Open(int16_t port, const LineSettings& line, int16_t readTimeoutMs,
                                                  OpenResult& result) {
  const auto fail = [&](OpenOutcome outcome, DWORD err) {
    result.outcome = outcome;
    result.systemError = static_cast<int>(err);
    result.errorText = SystemErrorText(static_cast<int>(err));
    return std::unique_ptr<SerialPort>();
  };
  const std::string path = DevicePath(port);
  if (path.empty()) return fail(OpenOutcome::NotPresent, ERROR_FILE_NOT_FOUND);

  const HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD err = GetLastError();
    switch (err) {
      case ERROR_FILE_NOT_FOUND:
        return fail(OpenOutcome::NotPresent, err);
      case ERROR_ACCESS_DENIED:
      case ERROR_SHARING_VIOLATION:
        return fail(OpenOutcome::Busy, err);
      default:
        return fail(OpenOutcome::OtherError, err);
    }
  }
  // The port is ours from here on: every way out must give it back.
  const held::Token token = held::win32::HoldPort(h);
  if (token == held::kNone) {
    CloseHandle(h);
    return fail(OpenOutcome::OtherError, ERROR_TOO_MANY_OPEN_FILES);
  }
  // A line error left pending by the port's last user, with abort-on-error on,
  // fails every call but this one until it is cleared.
  ClearCommError(h, nullptr, nullptr);
  // A failed step is reported, and its code kept for the caller, before the
  // device is closed again.
  DWORD err = ApplyLine(h, line);
  if (err == 0) err = ApplyTimeouts(h, line.baud, readTimeoutMs);
  if (err != 0) {
    held::Release(token);
    fail(err == ERROR_INVALID_PARAMETER ? OpenOutcome::SettingRefused : OpenOutcome::OtherError, err);
    Report(result.errorText);
    return nullptr;
  }
  auto opened = std::make_unique<Port>(Hook(), token, h, line.baud);
  opened->Purge();
  result.outcome = OpenOutcome::Opened;
  result.systemError = 0;
  result.errorText.clear();
  return opened;
}

std::unique_ptr<PortDriver> SystemPortDriver() { return std::make_unique<Win32PortDriver>(); }

}  // namespace corv
