// Run settings: the one record filled at start-up from the command line, the
// environment and the parameter file, and read by every subsystem.
#pragma once
#include <cstdint>
#include <string>

namespace corv {

struct RunSettings {
  int16_t portNumber = 0;        // 0: none given; discovery then searches
  std::string portName;          // a network port named directly (rfc2217://HOST:PORT), else ""
  int32_t baudRate = 19200;      // starting rate, then the link's current rate
  uint8_t paritySetting = 0;     // 0 none, 1 even; then the link's current parity
  int32_t programmingRate = 0;   // -r; 0 = not given
  uint8_t requestedUnitId = 0;   // -u (low 8 bits)
  bool unitIdGiven = false;
  bool lockBaud = false;         // -l
  bool interrogateOnly = false;  // -i
  bool yesToPrompts = false;     // -y
  bool verifyOn = false;         // -v
  bool silent = false;           // -s
  bool writeAlways = false;      // -w
  bool debugOn = false;          // -d
  bool detailedDebug = false;    // -dd
  bool overlappedRequested = false;  // -o
  std::string parameterFile;     // positional argument
  bool manufacturingMode = false;    // parameter-file key CorvManufacture
  bool traceEnabled = false;     // per-packet trace allowed
  bool portSaveRefused = false;  // the saved port's refusal already told (once a run)
  std::string homeFolder;        // CORVUPDATER; "" when unset
  std::string lockFolder;        // CORVANTALOCKDIR; "" when unset: no lock files
};

// The port as the messages name it: the network port's name, or COM<n>.
inline std::string PortLabel(const RunSettings& s) {
  return s.portName.empty() ? "COM" + std::to_string(s.portNumber) : s.portName;
}

}  // namespace corv
