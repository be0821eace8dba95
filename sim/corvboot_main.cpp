// CorvBoot stand-in: installs the secured boot loader on a pre-production
// board by sending the boot loader's private command 0x10F0.
//   CorvBoot COM<n> -x -b<baud> -u<XX> [-d|-dd] -y [-s] [-o]
// Opens the port at <baud> (8 data bits, two stop bits, no parity), sends
// 0x10F0 to the boot address 1 with up to 20 attempts and exits 0 when the unit
// answers result 0, 4 on any other result, 3 when it never answers, and 2 when
// the arguments are wrong or the port cannot be opened. -u names the unit's
// address for the record only: the boot loader always answers at address 1.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "link/crc16.h"
#include "platform/posix/port_posix.h"

namespace {

constexpr int kAttempts = 20;
constexpr int16_t kReadTimeoutMs = 1000;

struct Args {
  int port = 0;
  int32_t baud = 0;
  int debug = 0;
  bool silent = false;
};

bool ParseNumber(const std::string& s, int base, long& out) {
  if (s.empty()) return false;
  char* end = nullptr;
  out = std::strtol(s.c_str(), &end, base);
  return *end == '\0';
}

bool Parse(int argc, char** argv, Args& a) {
  for (int i = 1; i < argc; ++i) {
    std::string s = argv[i];
    long v = 0;
    if (i == 1) {
      if (s.size() < 4 || (s.compare(0, 3, "COM") != 0 && s.compare(0, 3, "com") != 0) ||
          !ParseNumber(s.substr(3), 10, v) || v < 1 || v > 9999) {
        return false;
      }
      a.port = static_cast<int>(v);
    } else if (s == "-x" || s == "-y" || s == "-o") {
      // Run without questions; overlapped mode is the updater's business.
    } else if (s == "-d") {
      a.debug = 1;
    } else if (s == "-dd") {
      a.debug = 2;
    } else if (s == "-s") {
      a.silent = true;
    } else if (s.compare(0, 2, "-b") == 0) {
      const std::string rate = s.size() > 2 ? s.substr(2) : (i + 1 < argc ? argv[++i] : "");
      if (!ParseNumber(rate, 10, v) || v <= 0 || v > 4000000) return false;
      a.baud = static_cast<int32_t>(v);
    } else if (s.compare(0, 2, "-u") == 0) {
      const std::string id = s.size() > 2 ? s.substr(2) : (i + 1 < argc ? argv[++i] : "");
      if (!ParseNumber(id, 16, v) || v < 0 || v > 255) return false;
    } else {
      return false;
    }
  }
  return a.port > 0 && a.baud > 0;
}

void Hex(const char* what, const uint8_t* b, int n) {
  std::printf("%s", what);
  for (int i = 0; i < n; ++i) std::printf(" %02X", b[i]);
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  Args a;
  if (!Parse(argc, argv, a)) {
    std::fprintf(stderr, "usage: CorvBoot COM<n> -x -b<baud> -u<XX> [-d|-dd] -y [-s] [-o]\n");
    return 2;
  }
  if (!a.silent) std::printf("CorvBoot: installing the secured boot loader on COM%d at %d baud\n", a.port, a.baud);
  std::fflush(stdout);
  corv::PosixPortDriver driver;
  corv::LineSettings line;
  line.baud = a.baud;
  corv::OpenResult opened;
  auto port = driver.Open(static_cast<int16_t>(a.port), line, kReadTimeoutMs, opened);
  if (!port) {
    std::printf("CorvBoot: cannot open COM%d: %s\n", a.port, opened.errorText.c_str());
    return 2;
  }
  uint8_t request[6] = {1, 0x45, 0x10, 0xF0, 0, 0};
  const uint16_t crc = corv::Crc16(request, 4);
  request[4] = static_cast<uint8_t>(crc);
  request[5] = static_cast<uint8_t>(crc >> 8);
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    if (a.debug > 0) std::printf("Sending install secured boot loader command (attempt %d)\n", attempt);
    if (a.debug > 1) Hex("<SEND", request, 6);
    std::fflush(stdout);
    port->Purge();
    if (port->Transmit(request, 6) != 6) continue;
    uint8_t reply[7] = {};
    const int n = port->Receive(reply, 7);
    if (a.debug > 1 && n > 0) Hex("[RECV", reply, n);
    if (n != 7 || corv::Crc16(reply, 7) != 0 || reply[0] != 1 || reply[1] != 0x45 || reply[2] != 0x10 ||
        reply[3] != 0xF0) {
      continue;
    }
    if (reply[4] != 0) {
      std::printf("CorvBoot: the unit refused the secured boot loader (result %d)\n", reply[4]);
      return 4;
    }
    if (!a.silent) std::printf("OK - secured boot loader installed\n");
    return 0;
  }
  std::printf("CorvBoot: no answer from the unit on COM%d\n", a.port);
  return 3;
}
