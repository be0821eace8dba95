// The unit link as one record per run: the open port with its lock, the line
// settings in force, the rate list and the rate the unit last answered at, the
// connection state (unit address, boot address, software mode), and the packet
// layer. Opening, closing, reopening at other rates and stepping through the
// rate list are its operations; nothing else opens or reopens the port.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "link/packet.h"
#include "platform/port.h"
#include "platform/held.h"
#include "support/context.h"

namespace corv {

enum SoftwareMode : uint8_t {
  modeUnknown = 0,
  modeCorvantaSoftware = 1,
  modeCorvantaBootLoader = 2,
  modeFlashProgrammer = 3,
  modeLpcIsp = 4,
};

// Why an open failed, in the numbers the link's messages are chosen by: not
// present, held by another program, setting refused; any other failure gives
// the system's own error number.
inline constexpr int kErrorNotPresent = 2;
inline constexpr int kErrorPortBusy = 5;
inline constexpr int kErrorSettingRefused = 87;
int OpenErrorCode(const OpenResult& r);

// The lock file of a port: the folder, a separator unless it ends in one, then
// lockCorvantaCommPort and the port number.
std::string LockFilePath(const std::string& lockDir, int16_t port);

// The four fields of the versions record (0x1010), kept by the connection.
struct UnitVersions {
  uint16_t cardNumber = 0;
  uint16_t circuitCode = 0;
  uint16_t softwareVersion = 0;  // version x 100
  uint16_t productNumber = 0;
};

class Link {
 public:
  static constexpr uint8_t stopBitsSetting = 2;
  static constexpr int16_t shortTimeoutMs = 50;
  static constexpr int16_t normalTimeoutMs = 100;
  static constexpr int16_t longTimeoutMs = 1000;
  static constexpr int32_t rateTable[5] = {115200, 57600, 38400, 19200, 9600};

  Link(Context& ctx, PortDriver& driver);
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  Context& ctx;
  PortDriver& driver;
  Packet packet;

  // Connection state filled by discovery and read by the boot-loader, flash and
  // unit-data operations. baudRate, paritySetting and portNumber live in
  // ctx.settings (the current rate and parity once the port is open).
  bool hardwareHandshaking = false;
  int16_t rateIndex = 0;
  bool rememberedParity = false;
  uint8_t unitId = 0;
  uint8_t bootAddress = 1;
  uint8_t softwareMode = modeUnknown;
  bool connected = false;
  std::string lockPath;  // the lock file this run made, empty when none
  int16_t timeoutMs = 0;  // read time-out of the open port
  UnitVersions versions;
  uint8_t bootVersionByte = 0;  // the 0x1012 answer: MCU type high nibble, version low
  // Why the last LockAndOpenPort / CommOpen failed.
  OpenResult lastOpen;
  // Called by the connection once the versions are read (prints the versions
  // block and classifies the unit); empty does nothing.
  std::function<void()> versionsRead;

  SerialPort* Port() { return port_.get(); }
  bool PortOpen() const { return port_ != nullptr; }

  // Makes the lock file (CORVANTALOCKDIR) unless one is there already and opens
  // portNumber at the current rate and parity, waiting up to 100 x 100 ms for
  // a busy port.
  bool LockAndOpenPort(int16_t timeoutMs);
  // Removes the lock file this run made and closes the port. Safe to call at
  // any time.
  void ClosePortAndUnlock();
  // Reopens at a rate, parity and read time-out; false only when the port
  // refuses the rate. An open port keeps being held: only its line changes.
  bool ReopenPort(int32_t baud, bool even, int16_t timeoutMs);
  // Sets rate and parity on the open port without reopening (CommSetLine).
  bool ChangeLineInPlace(int32_t baud, bool even);
  // The rate index becomes the position of baudRate in rateTable (kept when
  // it is not there); the remembered parity becomes paritySetting.
  void RememberLineSettings();
  // Reopens at the remembered rate; fatal "Unable to change baudrate" on refusal.
  void ReopenAtRememberedRate(int16_t timeoutMs);
  // Next rate of the list (unless lockBaud) and reopen there.
  void StepRate(int16_t timeoutMs);

 private:
  // The line of the current settings; false (lastOpen telling why) for no
  // port number or no rate.
  bool CurrentLine(LineSettings& line);
  // One open of portNumber at the current rate and parity; lastOpen tells why not.
  bool OpenOnce(int16_t timeoutMs);
  // The same settings made on the open port instead.
  bool ChangeOnce(int16_t timeoutMs);
  // Registers the link with the held record (once) while it holds the port or
  // its lock, so that every way out closes and unlocks through it.
  void Holding();

  std::unique_ptr<SerialPort> port_;
  held::Token lock_ = held::kNone;  // the lock file in the held record
  held::Owner owner_;
  int16_t openNumber_ = 0;  // the port number port_ was opened for
  bool roundTripSaid_ = false;  // the network's round trip is logged once a run
};

}  // namespace corv
