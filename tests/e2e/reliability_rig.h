// The bench of the reliability end-to-end tests: one sandbox (machine folder,
// lock folder, home folder with CorvBoot, a copy of CorvUpdater so that every
// run's log lands in its LogFiles; the Windows build under Wine when the tests
// are switched to it) with any number of CorvSim units on their
// COM ports, and CorvUpdater runs that stay open while the test watches them:
// on pipes with standard input kept open (answers typed later), or on a
// pseudo-terminal console whose settings are compared before and after.
#pragma once
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/update_e2e_rig.h"

namespace corv::e2e {

using testing::OnTerminal;

class UnitsBench {
 public:
  UnitsBench() : box_("corv-e2e-rel"), dir_(box_.box.path) {}
  ~UnitsBench() {
    while (!sims_.empty()) Stop(sims_.begin()->first, SIGTERM);
  }
  UnitsBench(const UnitsBench&) = delete;
  UnitsBench& operator=(const UnitsBench&) = delete;

  const std::string& Dir() const { return dir_; }
  std::string Device(int port) const { return dir_ + "/machine/com" + std::to_string(port); }
  std::string LockFile(int port) const { return dir_ + "/locks/lockCorvantaCommPort" + std::to_string(port); }

  // CorvSim serving COM<port> with these profile lines over the default unit.
  bool Serve(int port, const std::string& profile) {
    Stop(port, SIGTERM);
    const std::string p = std::to_string(port);
    testing::WriteFile(dir_ + "/unit" + p + ".txt", profile);
    std::string said;
    const Child sim = testing::StartSim(
        {"--profile", dir_ + "/unit" + p + ".txt", "--state", dir_ + "/state" + p + ".txt", "COM" + p},
        box_.In(testing::Input::DevNull), said, 10);
    EXPECT_GT(sim.pid, 0) << said;
    if (sim.pid > 0) sims_[port] = sim;
    return sim.pid > 0;
  }
  // Ends CorvSim with `sig` (SIGTERM: it writes its state, removes the link and
  // closes the pseudo-terminal; SIGKILL: the device vanishes, the link dangles).
  void Stop(int port, int sig) {
    auto it = sims_.find(port);
    if (it == sims_.end()) return;
    const int st = testing::StopSim(it->second, sig);
    if (sig == SIGTERM) {
      EXPECT_EQ(st, 0);
    }
    sims_.erase(it);
  }
  // The user switches the unit off and on.
  void PowerCycle(int port) {
    auto it = sims_.find(port);
    if (it != sims_.end()) testing::SignalChild(it->second.pid, SIGUSR1);
  }
  // The unit's state as CorvSim last wrote it.
  std::map<std::string, std::string> State(int port) {
    auto it = sims_.find(port);
    if (it != sims_.end()) {
      EXPECT_TRUE(testing::SnapshotSim(it->second, 10)) << "CorvSim wrote no state";
    }
    return ReadState(dir_ + "/state" + std::to_string(port) + ".txt");
  }

  // CorvUpdater with `args`, output on a pipe, standard input open for Type.
  LiveRun Run(const std::vector<std::string>& args) {
    return LiveRun::Of(testing::Start(box_.program, args, box_.In()));
  }

  // CorvUpdater with `args` on a pseudo-terminal that is its controlling
  // terminal (see testing::StartOnTerminal).
  LiveRun RunOnTerminal(const std::vector<std::string>& args, const OnTerminal& how = {}) {
    return LiveRun::Of(testing::StartOnTerminal(box_.program, args, box_.In(), how));
  }

  // The port as the next run finds it: present, its lock free and no exclusive
  // flag left on the device.
  ::testing::AssertionResult PortFree(int port) const {
    if (fs::exists(LockFile(port))) return ::testing::AssertionFailure() << "lock file left";
    const int fd = open(Device(port).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return ::testing::AssertionFailure() << "cannot open COM" << port << ": " << strerror(errno);
    int excl = 0;
    const bool exclusive = ioctl(fd, TIOCGEXCL, &excl) == 0 && excl != 0;
    const bool locked = flock(fd, LOCK_EX | LOCK_NB) != 0;
    close(fd);
    if (exclusive) return ::testing::AssertionFailure() << "exclusive flag left on COM" << port;
    if (locked) return ::testing::AssertionFailure() << "COM" << port << " still held";
    return ::testing::AssertionSuccess();
  }

 private:
  testing::UpdaterSandbox box_;
  std::string dir_;
  std::map<int, Child> sims_;
};

// The last line of a log file with text after its stamp, without the stamp
// and the line end (a closed log ends with the stamp that would open the next line).
inline std::string LastLogLine(const std::string& path) {
  std::istringstream in(ReadFile(path));
  std::string last;
  for (std::string line; std::getline(in, line);) {
    while (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t colon = line.find(": ");
    const bool stamped = colon != std::string::npos && colon > 0 &&
                         line.find_first_not_of(" 0123456789") == colon;
    const std::string text = stamped ? line.substr(colon + 2) : line;
    if (!text.empty()) last = text;
  }
  return last;
}

}  // namespace corv::e2e
