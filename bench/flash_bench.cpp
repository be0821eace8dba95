// Programmer download and flash writing on the virtual line against the
// virtual unit, on virtual time: the Display MCU type 3 programmer and
// software at 115200 and 921600 baud, block by block and overlapped (window 8).
// For each phase it prints the virtual time, the wire-time bound (the bytes
// that crossed the line in the busier direction x 11 bits / rate: 8 data bits,
// a start and two stop bits) and their ratio, and the program's CPU time (the
// unit model's included) per payload byte.
//
// The unit model takes 200 us per command and 1 ms per 128 bytes written to
// flash, and handles a block while the next one is arriving.
//
// A second table adds the USB serial adapter: the same software, and the
// images file written to the flash drive, through an adapter that holds
// received bytes for 16 ms (the common default), 1 ms (its low-latency mode)
// or not at all (a plain UART).
#include <time.h>

#include <cstdio>
#include <string>

#include "flash/flash_target.h"
#include "flash/flash_writer.h"
#include "flash/programmer_download.h"
#include "flash/reboot.h"
#include "link/link.h"
#include "sim/virtual_line.h"
#include "payloads/catalogue.h"
#include "sim/virtual_unit.h"
#include "platform/console.h"
#include "support/context.h"
#include "unitdata/unit_files.h"

namespace {

using namespace corv;

double CpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Phase {
  double virtualMs = 0;
  uint64_t toUnit = 0, toHost = 0;
  double cpuS = 0;
};

struct Meter {
  VirtualClock& clock;
  VirtualLine& line;
  uint64_t t0, a0, b0;
  double c0;
  Meter(VirtualClock& c, VirtualLine& l)
      : clock(c), line(l), t0(c.NowUs()), a0(l.BytesToFar()), b0(l.BytesToHost()), c0(CpuSeconds()) {}
  Phase Stop() const {
    return {static_cast<double>(clock.NowUs() - t0) / 1000.0, line.BytesToFar() - a0, line.BytesToHost() - b0,
            CpuSeconds() - c0};
  }
};

double BoundMs(const Phase& p, int32_t rate) {
  const uint64_t bytes = p.toUnit > p.toHost ? p.toUnit : p.toHost;
  return static_cast<double>(bytes) * 11.0 * 1000.0 / rate;
}

enum class Payload { Software, Images };

bool RunCase(int32_t rate, bool overlapped, Phase& download, Phase& write, uint32_t latencyUs = 0,
             Payload what = Payload::Software) {
  VirtualClock clock;
  ScriptedConsole console;
  Context ctx(console, clock);
  ctx.settings.yesToPrompts = true;
  ctx.settings.portNumber = 3;
  ctx.settings.programmingRate = rate;
  ctx.settings.overlappedRequested = overlapped;
  ctx.settings.traceEnabled = true;
  VirtualPortDriver driver(clock);
  VirtualLine& line = driver.AddLine(3);
  line.SetAdapter(latencyUs);
  sim::UnitProfile profile = sim::DefaultProfile();
  profile.commandUs = 200;
  profile.flashBlockUs = 1000;
  sim::VirtualUnit unit(line, profile);
  Link link(ctx, driver);
  UnitInfo info;
  info.cardFamily = 1;
  link.unitId = profile.address;
  ctx.settings.baudRate = profile.rate;
  if (!link.LockAndOpenPort(Link::longTimeoutMs)) return false;
  link.RememberLineSettings();
  if (!RebootToBootLoader(link, info, false) || !SelectFlashTarget(link, info)) return false;
  {
    Meter m(clock, line);
    if (!DownloadProgrammer(link, info, *info.flashProgrammer)) return false;
    download = m.Stop();
  }
  {
    Meter m(clock, line);
    const ByteBlock images = ImagesFile();
    if (what == Payload::Software ? !WriteImage(link, info, ImageName::DisplaySoftwareMcu3)
                                  : !UpdateUnitFile(link, info, kImagesFileNumber, images.data, images.length)) {
      return false;
    }
    write = m.Stop();
  }
  link.ClosePortAndUnlock();
  return info.overlapped == overlapped;
}

void Row(const char* what, int32_t rate, const char* mode, const Phase& p, uint32_t payload) {
  const double bound = BoundMs(p, rate);
  std::printf("%-9s %7d  %-15s %10.1f %10.1f %7.3f %9llu %8llu %9.1f\n", what, rate, mode, p.virtualMs, bound,
              p.virtualMs / bound, static_cast<unsigned long long>(p.toUnit),
              static_cast<unsigned long long>(p.toHost), p.cpuS * 1e9 / payload);
}

}  // namespace

int main() {
  constexpr uint32_t kProgrammerBytes = 20056;  // data bytes of programmer C
  constexpr uint32_t kSoftwareBytes = 193920;   // data bytes of the Display MCU type 3 software
  std::printf("Unit model: 200 us per command, 1 ms per 128-byte flash block.\n");
  std::printf("%-9s %7s  %-15s %10s %10s %7s %9s %8s %9s\n", "phase", "baud", "mode", "virtual ms", "bound ms",
              "ratio", "to unit", "to host", "CPU ns/B");
  bool ok = true;
  for (int32_t rate : {115200, 921600}) {
    for (bool overlapped : {false, true}) {
      Phase download, write;
      const char* mode = overlapped ? "overlapped (8)" : "stop-and-wait";
      if (!RunCase(rate, overlapped, download, write)) {
        std::printf("%-9s %7d  %-15s FAILED\n", "case", rate, mode);
        ok = false;
        continue;
      }
      Row("download", rate, mode, download, kProgrammerBytes);
      Row("flash", rate, mode, write, kSoftwareBytes);
    }
  }

  std::printf("\nUSB adapter: received bytes held for the latency timer or a %u-byte packet.\n",
              unsigned{VirtualLine::kUsbPacketBytes});
  std::printf("%-9s %7s  %-15s %7s %10s %10s %7s\n", "payload", "baud", "mode", "latency", "virtual ms", "bound ms",
              "ratio");
  for (Payload what : {Payload::Software, Payload::Images}) {
    for (int32_t rate : {115200, 921600}) {
      for (bool overlapped : {false, true}) {
        for (uint32_t latencyUs : {16000u, 1000u, 0u}) {
          Phase download, write;
          const char* name = what == Payload::Software ? "software" : "images";
          const char* mode = overlapped ? "overlapped (8)" : "stop-and-wait";
          if (!RunCase(rate, overlapped, download, write, latencyUs, what)) {
            std::printf("%-9s %7d  %-15s %4u ms FAILED\n", name, rate, mode, latencyUs / 1000);
            ok = false;
            continue;
          }
          const double bound = BoundMs(write, rate);
          std::printf("%-9s %7d  %-15s %4u ms %10.1f %10.1f %7.3f\n", name, rate, mode, latencyUs / 1000,
                      write.virtualMs, bound, write.virtualMs / bound);
        }
      }
    }
  }
  return ok ? 0 : 1;
}
