// The interrogation run of the built CorvUpdater against CorvSim on a
// pseudo-terminal: what it prints, its exit status and its log.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/common/processes.h"
#include "tests/common/scratch.h"

namespace {

namespace fs = std::filesystem;
using corv::testing::Child;
using corv::testing::ReadFile;

// Stdin closed and stdout and stderr on a pipe, in a machine folder of its own.
corv::testing::Launch InMachine(const std::string& root) {
  return {.env = {"CORVANTAROOT=" + root},
          .unset = {"CORVANTAPORT", "CORVANTALOCKDIR"},
          .input = corv::testing::Input::Closed};
}

TEST(InterrogationRun, AgainstCorvSimOverAPseudoTerminal) {
  const corv::testing::TempDir machine("corv-flash-e2e");
  const std::string& root = machine.path;
  std::string simOut;
  Child sim = corv::testing::StartSim({"--state", root + "/state.txt", "COM1"}, InMachine(root), simOut, 60);
  ASSERT_GT(sim.pid, 0) << simOut;

  const auto [status, out] =
      corv::testing::RunToEnd(corv::testing::BinDir() + "/CorvUpdater", {"-i", "-y", "COM1"}, InMachine(root), "", 60, 60);
  corv::testing::StopSim(sim, SIGTERM);

  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("Corvanta Info:\n  Card:         647\n  Circuit code: 5\n  Software:     v4.90\n"
                     "  Product:      CV150\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("  Masks:        ft$1234  rt$0F0F  new$0001\nUnit details:\n  Serial No:    12345\n"
                     "  Build time:   2019-03-14 10:30:00\n  Information:  Virtual belt weigher\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("-- interrogating unit\n"), std::string::npos);
  EXPECT_NE(out.find("  Boot loader:  v3 r9\n  MCU Type:     3\n  Checksum:     1A2B3C4D\n"), std::string::npos)
      << out;
  EXPECT_EQ(out.find("Fatal"), std::string::npos);

  const size_t at = out.find("LogFile = ");
  ASSERT_NE(at, std::string::npos);
  const std::string logPath = out.substr(at + 10, out.find('\n', at) - at - 10);
  const std::string log = ReadFile(logPath);
  EXPECT_NE(log.find("Rebooting unit\r\n"), std::string::npos);
  EXPECT_NE(log.find("OK - rebooted to boot loader\r\n"), std::string::npos);
  EXPECT_NE(log.find("OK - reset command sent\r\n"), std::string::npos) << log;
  std::error_code ec;
  fs::remove(logPath, ec);
}

}  // namespace
