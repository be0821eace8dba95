// The built CorvUpdater as a production line runs it: through pipes, with its
// exit status, its parameter file and its log.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/common/processes.h"
#include "tests/common/usage_text.h"
#include "tests/common/scratch.h"

namespace {

namespace fs = std::filesystem;
using corv::testing::BinDir;
using corv::testing::Child;
using corv::testing::kUsage;
using corv::testing::Launch;
using corv::testing::ReadFile;
using corv::testing::ReadUntil;
using corv::testing::Wait;
using Result = corv::testing::Finished;

// Started in `dir`, which is its machine folder too: no COM ports, no registry.
Launch InOwnMachine(const std::string& dir, const std::vector<std::string>& env = {}) {
  Launch how{.dir = dir, .env = {"CORVANTAROOT=" + dir}};
  how.env.insert(how.env.end(), env.begin(), env.end());
  return how;
}

// Runs to the end with `input` on stdin (then closed); its output read for up
// to 20 s, and its end waited for as long again (then it is killed, -1).
Result RunToEnd(const std::string& program, const std::vector<std::string>& args, const std::string& dir,
                const std::string& input = "", const std::vector<std::string>& env = {}) {
  return corv::testing::RunToEnd(program, args, InOwnMachine(dir, env), input, 20, 20);
}

TEST(StartUpE2E, BadArgument) {
  const corv::testing::TempDir box("corv-e2e");
  const std::string prog = BinDir() + "/CorvUpdater";
  ASSERT_TRUE(fs::exists(prog)) << prog;

  Result r = RunToEnd(prog, {"-x"}, box.path, "\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, std::string("Corvanta Updater 5.10v37\n") + kUsage +
                          "Fatal Error: Incorrect arguments\nPress Enter key to continue\n");

  r = RunToEnd(prog, {"-y", "-x"}, box.path);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.find("Press"), std::string::npos);

  // A starting rate that is no positive whole number never reaches the port.
  for (const char* rate : {"abc", "0", "-5"}) {
    r = RunToEnd(prog, {"-y", "-b", rate, "COM1"}, box.path);
    EXPECT_EQ(r.status, 1) << rate;
    EXPECT_EQ(r.out, std::string("Corvanta Updater 5.10v37\n") + kUsage + "Fatal Error: Incorrect arguments\n") << rate;
  }

  // Closed input: the prompt goes on instead of waiting.
  r = RunToEnd(prog, {"-x", "-y"}, box.path);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Press Enter key to continue\n"), std::string::npos);

  std::ofstream(box.path + "/job.ini", std::ios::binary) << "SerialNo=5\r\n";
  r = RunToEnd(prog, {"job.ini", "-y", "-x"}, box.path);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(ReadFile(box.path + "/job.ini"), "SerialNo=5\r\nMessage=Incorrect arguments\r\n");

  // An absolute path names the file; the usage errors never reach a log.
  std::string abs = box.path + "/abs.ini";
  r = RunToEnd(prog, {"-y", abs, "-b"}, box.path);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(ReadFile(abs), "Message=Incorrect arguments\r\n");
  EXPECT_EQ(r.out.find("LogFile"), std::string::npos);
}

TEST(StartUpE2E, NoUnitLogAndAbort) {
  const corv::testing::TempDir box("corv-e2e");
  // A copy of the program, so that its LogFiles folder is the sandbox's.
  const std::string prog = box.path + "/CorvUpdater";
  fs::copy_file(BinDir() + "/CorvUpdater", prog);
  fs::permissions(prog, fs::perms::owner_all);

  // No unit can answer in an empty machine folder: the run ends through the
  // fatal path, and the log holds every message line, stamped.
  Result r = RunToEnd(prog, {"-y", "-dd"}, box.path, "", {"CORVANTAPORT=com7"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.rfind("Corvanta Updater 5.10v37\nUsing CORVANTAPORT from environment\nLogFile = " + box.path +
                               "/LogFiles/20",
                           0),
            0u)
      << r.out;
  size_t fatal = r.out.find("\nFatal Error: ");
  ASSERT_NE(fatal, std::string::npos) << r.out;
  std::string fatalLine = r.out.substr(fatal + 1, r.out.find('\n', fatal + 1) - fatal - 1);
  std::vector<fs::path> logs;
  for (auto& e : fs::directory_iterator(box.path + "/LogFiles")) logs.push_back(e.path());
  ASSERT_EQ(logs.size(), 1u);
  std::string log = ReadFile(logs[0].string());
  EXPECT_EQ(log.rfind(prog + "\r\n", 0), 0u);
  EXPECT_EQ(log.find("Corvanta Updater"), std::string::npos);  // console only
  EXPECT_EQ(log.find("LogFile = "), std::string::npos);
  // The first message line carries no stamp; every later line begins with one.
  size_t at = log.find("\r\n") + 2;
  ASSERT_NE(log.find("\r\n", at), std::string::npos);
  for (at = log.find("\r\n", at); at != std::string::npos; at = log.find("\r\n", at + 2)) {
    std::string stamp = log.substr(at + 2, 8);
    EXPECT_TRUE(stamp.size() == 8 && std::all_of(stamp.begin(), stamp.begin() + 6, ::isdigit) &&
                stamp.substr(6) == ": ")
        << log;
  }
  EXPECT_NE(log.find(fatalLine + "\r\n"), std::string::npos) << log;
  EXPECT_EQ(log.substr(log.size() - 2), ": ");

  // Whatever the run then waits for on its open input (a question or the
  // closing key prompt), a signal ends it with status 1.
  Child c = corv::testing::Start(prog, {}, InOwnMachine(box.path));
  std::string out;
  ReadUntil(c.out, out, "LogFile = ", 20);
  ASSERT_NE(out.find("LogFile = "), std::string::npos) << out;
  for (size_t seen = 0; seen != out.size();) {  // until the output stands still
    seen = out.size();
    pollfd p{c.out, POLLIN, 0};
    if (poll(&p, 1, 300) == 1) {
      char buf[4096];
      ssize_t n = read(c.out, buf, sizeof buf);
      if (n > 0) out.append(buf, static_cast<size_t>(n));
    }
  }
  corv::testing::SignalChild(c.pid, SIGTERM);
  ReadUntil(c.out, out, "-- aborted\n", 20);
  EXPECT_EQ(Wait(c), 1);
  EXPECT_NE(out.find("\n-- aborted\n"), std::string::npos) << out;
}

}  // namespace
