// Options, positional arguments and CORVANTAPORT read into the run settings, and
// the argument error's way out.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/conventions.h"
#include "run/command_line.h"
#include "support/ini.h"
#include "tests/common/scratch.h"
#include "tests/common/usage_text.h"

namespace corv {
namespace {

RunSettings Parsed(std::vector<std::string> args, bool expectOk = true) {
  RunSettings s;
  EXPECT_EQ(ParseArguments(args, s), expectOk) << ::testing::PrintToString(args);
  return s;
}

bool Refused(std::vector<std::string> args) {
  RunSettings s;
  return !ParseArguments(args, s);
}

TEST(CommandLine, FlagLettersAndDebugLevels) {
  RunSettings s = Parsed({"-ys"});
  EXPECT_TRUE(s.yesToPrompts && s.silent);
  s = Parsed({"+IVWLO"});
  EXPECT_TRUE(s.interrogateOnly && s.verifyOn && s.writeAlways && s.lockBaud && s.overlappedRequested);
  EXPECT_FALSE(s.yesToPrompts || s.silent || s.debugOn);

  for (const char* dd : {"-dd", "-Dd", "-dD", "/dd", "+DD"}) {
    s = Parsed({dd});
    EXPECT_TRUE(s.debugOn && s.detailedDebug) << dd;
  }
  s = Parsed({"-d"});
  EXPECT_TRUE(s.debugOn);
  EXPECT_FALSE(s.detailedDebug);
  s = Parsed({"-d", "-d"});  // one D each: not -dd
  EXPECT_FALSE(s.detailedDebug);
  s = Parsed({"-dy"});
  EXPECT_TRUE(s.debugOn && s.yesToPrompts);
  EXPECT_FALSE(s.detailedDebug);
  s = Parsed({"-ddd"});  // the third D is a -d of its own
  EXPECT_TRUE(s.debugOn && s.detailedDebug);

  // A lone prefix sets nothing and is no error.
  for (const char* lone : {"-", "/", "+"}) {
    s = Parsed({lone});
    EXPECT_FALSE(s.debugOn || s.yesToPrompts || s.unitIdGiven) << lone;
    EXPECT_TRUE(s.parameterFile.empty());
  }
  EXPECT_TRUE(Refused({"-x"}));
  EXPECT_TRUE(Refused({"-yx"}));
  EXPECT_TRUE(Refused({"/q"}));
}

TEST(CommandLine, ValueLetters) {
  EXPECT_EQ(Parsed({"-b38400"}).baudRate, 38400);
  EXPECT_EQ(Parsed({"-b", "57600"}).baudRate, 57600);
  EXPECT_EQ(Parsed({}).baudRate, 19200);
  EXPECT_EQ(Parsed({"-b2147483647"}).baudRate, 2147483647);
  RunSettings s = Parsed({"-b115200s"}, false);  // the rest of the group is the value
  EXPECT_FALSE(s.silent);
  // A starting rate is a positive whole number; anything else is refused before
  // it can reach the port. The whole next argument is the value, even an option.
  for (auto args : std::vector<std::vector<std::string>>{
           {"-b", "abc"}, {"-b", "0"}, {"-b", "-5"}, {"-b0"}, {"-by"}, {"-b", "-y"}, {"-b9600xyz"}, {"-b", ""},
           {"-b", " 9600"}, {"-b", "+9600"}, {"-b", "2147483648"}, {"-b", "99999999999999999999"}, {"-b"},
           {"-y", "-b"}}) {
    EXPECT_TRUE(Refused(args)) << ::testing::PrintToString(args);
  }
  // -r keeps its own rule: any number, checked against the list later.
  EXPECT_EQ(Parsed({"-r", "abc"}).programmingRate, 0);
  EXPECT_EQ(Parsed({"-r12345x"}).programmingRate, 12345);

  EXPECT_EQ(Parsed({"-r921600"}).programmingRate, 921600);
  EXPECT_EQ(Parsed({"-R", "128000"}).programmingRate, 128000);
  s = Parsed({"-u240"});
  EXPECT_EQ(s.requestedUnitId, 0xF0);
  EXPECT_TRUE(s.unitIdGiven);
  EXPECT_EQ(Parsed({"-u", "300"}).requestedUnitId, 300 & 0xFF);
  EXPECT_FALSE(Parsed({}).unitIdGiven);

  EXPECT_EQ(Parsed({"-p0"}).paritySetting, 0);
  EXPECT_EQ(Parsed({"-p", "1"}).paritySetting, 1);
  EXPECT_EQ(Parsed({"-P1"}).paritySetting, 1);
  EXPECT_TRUE(Refused({"-p2"}));
  EXPECT_TRUE(Refused({"-p", "00"}));
  EXPECT_TRUE(Refused({"-px"}));
  EXPECT_TRUE(Refused({"-p"}));
  EXPECT_TRUE(Refused({"-p1y"}));
}

TEST(CommandLine, PortsAndParameterFile) {
  EXPECT_EQ(Parsed({"COM4"}).portNumber, 4);
  EXPECT_EQ(Parsed({"4"}).portNumber, 4);
  EXPECT_EQ(Parsed({"com12"}).portNumber, 12);
  RunSettings s = Parsed({"COM"});
  EXPECT_EQ(s.portNumber, 0);
  EXPECT_EQ(s.parameterFile, "COM");
  s = Parsed({"12a"});
  EXPECT_EQ(s.portNumber, 0);
  EXPECT_EQ(s.parameterFile, "12a");
  s = Parsed({"first.ini", "-y", "3", "second.ini"});
  EXPECT_EQ(s.parameterFile, "second.ini");
  EXPECT_EQ(s.portNumber, 3);
  EXPECT_TRUE(s.yesToPrompts);

  // An absolute path is a file; "/" and letters alone stay an option group.
#ifdef _WIN32
  // On Windows "/" always begins options: "/srv/..." is the letters s, r and
  // the value of -r.
  EXPECT_FALSE(SlashPathsAreFiles());
  s = Parsed({"/srv/line1/job.ini"});
  EXPECT_TRUE(s.parameterFile.empty());
  EXPECT_TRUE(s.silent);
  s = Parsed({"C:\\srv\\line1\\job.ini"});
  EXPECT_EQ(s.parameterFile, "C:\\srv\\line1\\job.ini");
  EXPECT_FALSE(s.silent);
#else
  EXPECT_TRUE(SlashPathsAreFiles());
  s = Parsed({"/srv/line1/job.ini"});
  EXPECT_EQ(s.parameterFile, "/srv/line1/job.ini");
  EXPECT_FALSE(s.silent);
#endif
  s = Parsed({"/ys"});
  EXPECT_TRUE(s.yesToPrompts && s.silent);
  EXPECT_TRUE(s.parameterFile.empty());

  // At an error the settings hold what stood before it.
  RunSettings at;
  EXPECT_FALSE(ParseArguments({"job.ini", "-y", "-x", "other.ini", "-s"}, at));
  EXPECT_EQ(at.parameterFile, "job.ini");
  EXPECT_TRUE(at.yesToPrompts);
  EXPECT_FALSE(at.silent);
}

using testing::FakeRun;
using testing::StatusOf;

TEST(CommandLine, PortVariable) {
  {
    SCOPED_TRACE("CORVANTAPORT=com7 alone");
    FakeRun r;
    ReadCommandLine(r.ctx, {}, "com7");
    EXPECT_EQ(r.ctx.settings.portNumber, 7);
    EXPECT_EQ(r.console.Output(), "Using CORVANTAPORT from environment\n");
  }
  {
    SCOPED_TRACE("CORVANTAPORT=7 with -y");
    FakeRun r;
    ReadCommandLine(r.ctx, {"-y"}, "7");
    EXPECT_EQ(r.ctx.settings.portNumber, 7);
  }
  {
    SCOPED_TRACE("COM2 on the command line and CORVANTAPORT=com7");
    FakeRun r;
    ReadCommandLine(r.ctx, {"COM2"}, "com7");  // a port on the command line wins, silently
    EXPECT_EQ(r.ctx.settings.portNumber, 2);
    EXPECT_EQ(r.console.Output(), "");
  }
  {
    SCOPED_TRACE("no port anywhere");
    FakeRun r;
    ReadCommandLine(r.ctx, {}, "");
    EXPECT_EQ(r.ctx.settings.portNumber, 0);
    EXPECT_EQ(r.console.Output(), "");
  }
}

TEST(CommandLine, BadArgumentsEndTheRun) {
  const std::string shown = testing::kUsage;
  {
    SCOPED_TRACE("-x: usage, then the key prompt");
    FakeRun r("");
    EXPECT_EQ(StatusOf([&] { ReadCommandLine(r.ctx, {"-x"}, "com7"); }), 1);
    EXPECT_EQ(r.console.Output(), shown + "Fatal Error: Incorrect arguments\nPress Enter key to continue\n");
  }
  {
    SCOPED_TRACE("-y -b without a rate");
    FakeRun r;
    EXPECT_EQ(StatusOf([&] { ReadCommandLine(r.ctx, {"-y", "-b"}, ""); }), 1);
    EXPECT_EQ(r.console.Output(), shown + "Fatal Error: Incorrect arguments\n");
  }
  for (const char* rate : {"abc", "0", "-5"}) {
    FakeRun r;
    EXPECT_EQ(StatusOf([&] { ReadCommandLine(r.ctx, {"-y", "-b", rate, "COM1"}, ""); }), 1) << rate;
    EXPECT_EQ(r.console.Output(), shown + "Fatal Error: Incorrect arguments\n") << rate;
  }
  {
    SCOPED_TRACE("-x before -y");
    FakeRun r;
    EXPECT_EQ(StatusOf([&] { ReadCommandLine(r.ctx, {"-x", "-y"}, ""); }), 1);  // -y too late
    EXPECT_NE(r.console.Output().find("Press Enter key to continue"), std::string::npos);
  }
  {
    SCOPED_TRACE("a bad argument after the parameter file");
    const testing::TempDir box("corv-cl");
    const std::string& dir = box.path;
    std::string file = dir + "/job.ini";
    FakeRun r;
    EXPECT_EQ(StatusOf([&] { ReadCommandLine(r.ctx, {"-y", file, "-p2"}, ""); }), 2);
    EXPECT_EQ(ReadIniString(r.ctx, file, "Message"), "Incorrect arguments");
    FakeRun later;
    std::string other = dir + "/later.ini";
    EXPECT_EQ(StatusOf([&] { ReadCommandLine(later.ctx, {"-y", "-p2", other}, ""); }), 1);
    EXPECT_FALSE(std::filesystem::exists(other));
  }
}

TEST(CommandLine, Banner) {
  TextStream t;
  PrintBanner(t);
  EXPECT_EQ(t.Text(), "Corvanta Updater 5.10v37\r\n");
}

}  // namespace
}  // namespace corv
