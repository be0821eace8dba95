// CorvSim: a virtual unit on COM<N> for CorvUpdater runs, through a
// pseudo-terminal in real time.
//   CorvSim [--profile FILE] [--state FILE] COM<N>
// Makes <machine folder>/com<N> (the folder is $CORVANTAROOT, else
// /var/lib/corvanta), prints "ready COM<N>" once the port can be opened, and
// serves until SIGTERM (or SIGINT, SIGHUP), then writes its state and removes
// the link. SIGUSR1 power-cycles the unit; SIGUSR2 writes its state and says
// "state written".
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/posix/machine_folder.h"
#include "platform/posix/port_posix.h"
#include "sim/pty_unit.h"

namespace {

int Usage() {
  std::fprintf(stderr, "usage: CorvSim [--profile FILE] [--state FILE] COM<N>\n");
  return 2;
}

// "COM3", "com3" or "3"; 0 when it is none of these.
int PortNumber(const std::string& arg) {
  std::string digits = arg;
  if (digits.size() > 3 && (digits.compare(0, 3, "COM") == 0 || digits.compare(0, 3, "com") == 0)) {
    digits = digits.substr(3);
  }
  if (digits.empty() || digits.size() > 4 || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
  return std::stoi(digits);
}

}  // namespace

int main(int argc, char** argv) {
  std::string profilePath, statePath;
  int port = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if ((a == "--profile" || a == "--state") && i + 1 < argc) {
      (a == "--profile" ? profilePath : statePath) = argv[++i];
    } else if (port == 0 && (port = PortNumber(a)) > 0) {
      continue;
    } else {
      return Usage();
    }
  }
  if (port <= 0) return Usage();

  corv::sim::UnitProfile profile = corv::sim::DefaultProfile();
  std::string error;
  if (!profilePath.empty() && !corv::sim::LoadProfile(profile, profilePath, error)) {
    std::fprintf(stderr, "CorvSim: %s: %s\n", profilePath.c_str(), error.c_str());
    return 2;
  }

  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2}) sigaddset(&set, s);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  const int sfd = signalfd(-1, &set, SFD_CLOEXEC);
  if (sfd < 0) {
    std::perror("CorvSim: signalfd");
    return 1;
  }
  signal(SIGPIPE, SIG_IGN);

  const std::string link = corv::MachineFolder() + "/com" + std::to_string(port);
  corv::sim::PtyUnit unit(profile, link, statePath);
  if (!unit.Open(error)) {
    std::fprintf(stderr, "CorvSim: %s\n", error.c_str());
    unit.RemoveLink();
    return 1;
  }
  std::printf("ready COM%d\n", port);
  std::fflush(stdout);
  const int status = unit.Serve(sfd);
  unit.WriteState();
  unit.RemoveLink();
  close(sfd);
  return status;
}
