// The built CorvUpdater finding a virtual unit that CorvSim serves on COM3
// through a pseudo-terminal: no port given, an empty registry, so the port
// search finds it; then the connection reads its versions. Real time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string BinDir() {
  const char* d = std::getenv("CORV_BIN_DIR");
  return d ? d : "build/bin";
}

struct Proc {
  pid_t pid = -1;
  int out = -1;  // its standard output and error
};

// Starts `program` with its input on /dev/null, output on a pipe, and the
// environment given on top of ours.
Proc Spawn(const std::string& program, const std::vector<std::string>& args, const std::vector<std::string>& env,
           const std::string& dir) {
  int fromChild[2];
  if (pipe(fromChild) != 0) return {};
  Proc p;
  p.pid = fork();
  if (p.pid == 0) {
    const int null = open("/dev/null", O_RDONLY);
    dup2(null, 0);
    dup2(fromChild[1], 1);
    dup2(fromChild[1], 2);
    close(fromChild[0]);
    if (chdir(dir.c_str()) != 0) _exit(126);
    unsetenv("CORVANTAPORT");
    unsetenv("CORVANTALOCKDIR");
    for (const auto& e : env) putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(fromChild[1]);
  p.out = fromChild[0];
  return p;
}

// Reads until `until` appears, the output ends or `seconds` pass.
void ReadUntil(int fd, std::string& out, const std::string& until, int seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while ((until.empty() || out.find(until) == std::string::npos) && std::chrono::steady_clock::now() < end) {
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, 100) <= 0) continue;
    char buf[4096];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
}

// The exit status, or -1 when it has not ended within `seconds` (it is then killed).
int WaitFor(pid_t pid, int seconds) {
  for (int i = 0; i < seconds * 10; ++i) {
    int st = 0;
    if (waitpid(pid, &st, WNOHANG) == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    usleep(100000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

TEST(DiscoveryE2E, PortSearchFindsCorvSimOnCom3AndConnects) {
  char tmpl[] = "/tmp/corv-find-XXXXXX";
  const std::string box = mkdtemp(tmpl);
  const std::string root = box + "/machine";
  const std::string locks = box + "/locks";
  fs::create_directories(root);
  fs::create_directories(locks);
  // A copy of the program, so that its LogFiles folder is in the sandbox.
  const std::string prog = box + "/CorvUpdater";
  fs::copy_file(BinDir() + "/CorvUpdater", prog);
  fs::permissions(prog, fs::perms::owner_all);
  const std::vector<std::string> env = {"CORVANTAROOT=" + root, "CORVANTALOCKDIR=" + locks};

  Proc sim = Spawn(BinDir() + "/CorvSim", {"COM3"}, env, box);
  ASSERT_GT(sim.pid, 0);
  std::string simOut;
  ReadUntil(sim.out, simOut, "ready COM3", 10);
  ASSERT_NE(simOut.find("ready COM3"), std::string::npos) << simOut;

  // A parameter file in manufacturing mode without Program: the run connects,
  // has nothing to do and ends with status 0.
  std::ofstream(box + "/job.ini", std::ios::binary) << "CorvManufacture=TRUE\r\n";
  Proc run = Spawn(prog, {"-y", "-d", box + "/job.ini"}, env, box);
  std::string out;
  ReadUntil(run.out, out, "", 120);
  const int status = WaitFor(run.pid, 10);
  close(run.out);

  EXPECT_EQ(status, 0) << out;
  // The lock line follows the open, the probe line the lock line.
  EXPECT_NE(out.find("Searching ports...\nUsing CORVANTALOCKDIR=" + locks + "\nProbing COM3\n"), std::string::npos)
      << out;
  EXPECT_EQ(out.find("Probing COM1"), std::string::npos) << out;  // missing ports stay silent
  EXPECT_NE(out.find("Unit ID=F0\n.\n-- Found Unit (direct connection)\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Connecting to Corvanta unit...\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Sending version request\nOK - got versions\n"), std::string::npos) << out;
  EXPECT_NE(out.find("-- nothing to do\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("power off and on"), std::string::npos) << out;
  EXPECT_FALSE(fs::exists(locks + "/lockCorvantaCommPort3"));

  // CorvSim is still serving and ends cleanly.
  kill(sim.pid, SIGTERM);
  EXPECT_EQ(WaitFor(sim.pid, 10), 0);
  close(sim.out);
  EXPECT_FALSE(fs::exists(root + "/com3"));
  fs::remove_all(box);
}

// A port where nothing answers: the run waits for a power cycle, and a signal
// then ends it with the port closed and its lock file removed.
TEST(DiscoveryE2E, SignalWhileWaitingForThePowerCycleRemovesTheLock) {
  char tmpl[] = "/tmp/corv-wait-XXXXXX";
  const std::string box = mkdtemp(tmpl);
  const std::string root = box + "/machine";
  const std::string locks = box + "/locks/";
  fs::create_directories(root);
  fs::create_directories(locks);
  const std::string prog = box + "/CorvUpdater";
  fs::copy_file(BinDir() + "/CorvUpdater", prog);
  fs::permissions(prog, fs::perms::owner_all);
  std::ofstream(box + "/dead.txt") << "kind=dead\n";
  const std::vector<std::string> env = {"CORVANTAROOT=" + root, "CORVANTALOCKDIR=" + locks};

  Proc sim = Spawn(BinDir() + "/CorvSim", {"--profile", box + "/dead.txt", "COM5"}, env, box);
  ASSERT_GT(sim.pid, 0);
  std::string simOut;
  ReadUntil(sim.out, simOut, "ready COM5", 10);
  ASSERT_NE(simOut.find("ready COM5"), std::string::npos) << simOut;

  Proc run = Spawn(prog, {"-y", "COM5"}, env, box);
  std::string out;
  ReadUntil(run.out, out, "please turn the unit power off and on now\n", 60);
  ASSERT_NE(out.find("Opening COM5\nUsing CORVANTALOCKDIR=" + locks + "\n"), std::string::npos) << out;
  EXPECT_TRUE(fs::exists(locks + "lockCorvantaCommPort5"));
  kill(run.pid, SIGTERM);
  ReadUntil(run.out, out, "-- aborted\n", 10);
  EXPECT_EQ(WaitFor(run.pid, 10), 1);
  close(run.out);
  EXPECT_NE(out.find("\n-- aborted\n"), std::string::npos) << out;
  EXPECT_FALSE(fs::exists(locks + "lockCorvantaCommPort5"));

  kill(sim.pid, SIGTERM);
  EXPECT_EQ(WaitFor(sim.pid, 10), 0);
  close(sim.out);
  fs::remove_all(box);
}

}  // namespace
