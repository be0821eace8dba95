// The built CorvUpdater as a production line runs it: through pipes, with its
// exit status, its parameter file and its log.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
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

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

struct Sandbox {
  Sandbox() {
    char tmpl[] = "/tmp/corv-e2e-XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~Sandbox() { fs::remove_all(path); }
  std::string path;
};

struct Child {
  pid_t pid = -1;
  int in = -1, out = -1;
};

// Starts the program in `dir` with stdin and stdout (and stderr) on pipes.
Child Start(const std::string& program, const std::vector<std::string>& args, const std::string& dir,
            const std::vector<std::string>& env = {}) {
  int toChild[2], fromChild[2];
  if (pipe(toChild) != 0 || pipe(fromChild) != 0) return {};
  Child c;
  c.pid = fork();
  if (c.pid == 0) {
    dup2(toChild[0], 0);
    dup2(fromChild[1], 1);
    dup2(fromChild[1], 2);
    close(toChild[1]);
    close(fromChild[0]);
    if (chdir(dir.c_str()) != 0) _exit(126);
    // A machine folder of its own: no COM ports, no registry.
    unsetenv("CORVANTAPORT");
    setenv("CORVANTAROOT", dir.c_str(), 1);
    for (const auto& e : env) putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(toChild[0]);
  close(fromChild[1]);
  c.in = toChild[1];
  c.out = fromChild[0];
  return c;
}

// Reads until `until` shows up (or the output ends, or 20 s pass).
std::string ReadUntil(int fd, std::string& got, const std::string& until) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (until.empty() || got.find(until) == std::string::npos) {
    pollfd p{fd, POLLIN, 0};
    int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count());
    if (left <= 0 || poll(&p, 1, left) != 1) break;
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

int Wait(Child& c) {
  if (c.in >= 0) close(c.in);
  int status = 0;
  waitpid(c.pid, &status, 0);
  close(c.out);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

struct Result {
  int status;
  std::string output;
};

// Runs to the end with `input` on stdin (then closed).
Result RunToEnd(const std::string& program, const std::vector<std::string>& args, const std::string& dir,
                const std::string& input = "", const std::vector<std::string>& env = {}) {
  Child c = Start(program, args, dir, env);
  if (!input.empty() && write(c.in, input.data(), input.size()) < 0) return {-1, ""};
  close(c.in);
  c.in = -1;
  std::string out;
  ReadUntil(c.out, out, "");
  return {Wait(c), out};
}

const char* const kUsage =
    "Usage: CorvUpdater [options] [Filename] [[COM]<port>]\n"
    "\n"
    "-i           Interrogate unit and show information, do not update\n"
    "-y           Yes to prompts (continues without waiting for key)\n"
    "-v           Verify on\n"
    "-s           Silence extra information\n"
    "-w           Write software always, even if its the correct version\n"
    "-d           Debug on\n"
    "-dd          Detailed Debug on (shows com data)\n"
    "-b           Set the initial baud rate to one of the following:\n"
    "             9600, 19200, 38400, 57600 or 115200\n"
    "-p<n>        Start with parity setting where n = 0 (none), 1 (even)\n"
    "-l           Lock baud rate, do not auto-search for the correct baud rate\n"
    "-r           Set the baud rate for programming to one of the following:\n"
    "             115200, 128000, 230400, 460800, 921600\n"
    "-u<ID>       Unit ID\n"
    "-o           Overlapped writes to flash, uses faster flash programming\n"
    "             protocol if possible\n"
    "\n"
    "[filename]   Parameter file\n"
    "\n"
    "port         1, 2, 3, 4...\n"
    "\n"
    "default setting for auto-search are 19200 baud, even parity.\n";

TEST(StartUpE2E, BadArgument) {
  Sandbox box;
  const std::string prog = BinDir() + "/CorvUpdater";
  ASSERT_TRUE(fs::exists(prog)) << prog;

  Result r = RunToEnd(prog, {"-x"}, box.path, "\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, std::string("Corvanta Updater 5.10v37\n") + kUsage +
                          "Fatal Error: Incorrect arguments\nPress Enter key to continue\n");

  r = RunToEnd(prog, {"-y", "-x"}, box.path);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output.find("Press"), std::string::npos);

  // Closed input: the prompt goes on instead of waiting.
  r = RunToEnd(prog, {"-x", "-y"}, box.path);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("Press Enter key to continue\n"), std::string::npos);

  std::ofstream(box.path + "/job.ini", std::ios::binary) << "SerialNo=5\r\n";
  r = RunToEnd(prog, {"job.ini", "-y", "-x"}, box.path);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(ReadAll(box.path + "/job.ini"), "SerialNo=5\r\nMessage=Incorrect arguments\r\n");

  // An absolute path names the file; the usage errors never reach a log.
  std::string abs = box.path + "/abs.ini";
  r = RunToEnd(prog, {"-y", abs, "-b"}, box.path);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(ReadAll(abs), "Message=Incorrect arguments\r\n");
  EXPECT_EQ(r.output.find("LogFile"), std::string::npos);
}

TEST(StartUpE2E, NoUnitLogAndAbort) {
  Sandbox box;
  // A copy of the program, so that its LogFiles folder is the sandbox's.
  const std::string prog = box.path + "/CorvUpdater";
  fs::copy_file(BinDir() + "/CorvUpdater", prog);
  fs::permissions(prog, fs::perms::owner_all);

  // No unit can answer in an empty machine folder: the run ends through the
  // fatal path, and the log holds every message line, stamped.
  Result r = RunToEnd(prog, {"-y", "-dd"}, box.path, "", {"CORVANTAPORT=com7"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output.rfind("Corvanta Updater 5.10v37\nUsing CORVANTAPORT from environment\nLogFile = " + box.path +
                               "/LogFiles/20",
                           0),
            0u)
      << r.output;
  size_t fatal = r.output.find("\nFatal Error: ");
  ASSERT_NE(fatal, std::string::npos) << r.output;
  std::string fatalLine = r.output.substr(fatal + 1, r.output.find('\n', fatal + 1) - fatal - 1);
  std::vector<fs::path> logs;
  for (auto& e : fs::directory_iterator(box.path + "/LogFiles")) logs.push_back(e.path());
  ASSERT_EQ(logs.size(), 1u);
  std::string log = ReadAll(logs[0].string());
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
  Child c = Start(prog, {}, box.path);
  std::string out;
  ReadUntil(c.out, out, "LogFile = ");
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
  kill(c.pid, SIGTERM);
  ReadUntil(c.out, out, "-- aborted\n");
  EXPECT_EQ(Wait(c), 1);
  EXPECT_NE(out.find("\n-- aborted\n"), std::string::npos) << out;
}

}  // namespace
