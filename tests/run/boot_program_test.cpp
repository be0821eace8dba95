// Finding CorvBoot, its command line, its exit statuses, and the installation of
// the secured boot loader through it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "fake_unit.h"
#include "platform/conventions.h"
#include "run/boot_program.h"
#include "tests/common/child_program.h"
#include "tests/common/scratch.h"
#include "tests/common/system_names.h"

namespace corv {
namespace {

using FakeRun = testing::ReleasingRun;
using testing::FakeUnit;
using testing::ProgramFile;
using testing::Sep;
using testing::StatusOf;
namespace fs = std::filesystem;

struct Sandbox : testing::TempDir {
  Sandbox() : TempDir("corv-boot") {}
  // A stand-in CorvBoot that notes its arguments and ends with `status`; `name`
  // is the whole file name.
  std::string Program(const std::string& name, int status) {
    return testing::MakeChildProgram(path + "/" + name,
                                     {testing::WriteArguments(path + "/args"), testing::ExitWith(status)});
  }
};

TEST(BootProgram, HomeFolderAndPath) {
  Sandbox box;
  FakeRun r;
  r.ctx.settings.yesToPrompts = true;
#ifdef _WIN32
  EXPECT_EQ(HomeFolder(r.ctx), "F:\\EPROM\\Corvanta\\Current");
#else
  EXPECT_EQ(HomeFolder(r.ctx), "/opt/corvanta/current");
#endif
  std::string ini = box.path + "/job.ini";
  std::ofstream(ini, std::ios::binary) << "CorvantaHomeDir=" << box.path << "/home\r\n";
  r.ctx.settings.parameterFile = ini;
  EXPECT_EQ(HomeFolder(r.ctx), box.path + "/home");
  r.ctx.settings.homeFolder = "/env/home";
  EXPECT_EQ(HomeFolder(r.ctx), "/env/home");

  // <home>/bin/CorvBoot (CorvBoot.exe on Windows) must be there.
#ifdef _WIN32
  EXPECT_STREQ(BootProgramFile(), "CorvBoot.exe");
#else
  EXPECT_STREQ(BootProgramFile(), "CorvBoot");
#endif
  r.ctx.settings.parameterFile.clear();
  r.ctx.settings.homeFolder = box.path;
  EXPECT_EQ(StatusOf([&] { BootProgramPath(r.ctx); }), 1);
  EXPECT_EQ(r.console.Output(), "Fatal Error: Cannot find CorvBoot in " + box.path + Sep() + "bin\n");
  fs::create_directory(box.path + "/bin");
  box.Program("bin/" + std::string(BootProgramFile()), 0);
  r.ctx.settings.homeFolder = box.path + Sep();
  EXPECT_EQ(BootProgramPath(r.ctx), box.path + Sep() + "bin" + Sep() + BootProgramFile());

  // CorvBootEXE is taken as it stands, without looking for the file.
  std::ofstream(ini, std::ios::binary) << "CorvBootEXE=/no/such/CorvBoot\r\n";
  r.ctx.settings.parameterFile = ini;
  EXPECT_EQ(BootProgramPath(r.ctx), "/no/such/CorvBoot");
}

TEST(BootProgram, CommandLine) {
  RunSettings s;
  s.portNumber = 3;
  s.baudRate = 57600;
  EXPECT_EQ(BootCommandLine(s, "/opt/c/bin/CorvBoot", 0x0A, false), "\"/opt/c/bin/CorvBoot\" COM3 -x -b57600 -u0A -y");
  s.debugOn = true;
  s.silent = true;
  EXPECT_EQ(BootCommandLine(s, "p", 0xF0, true), "\"p\" COM3 -x -b57600 -uF0 -d -y -s -o");
  s.detailedDebug = true;
  EXPECT_EQ(BootCommandLine(s, "p", 1, false), "\"p\" COM3 -x -b57600 -u01 -dd -y -s");
}

TEST(BootProgram, ExitStatuses) {
  Sandbox box;
  {
    SCOPED_TRACE("a blank in CorvBoot's path; its arguments");
    FakeRun r;
    r.ctx.settings.portNumber = 2;
    std::string prog = box.Program(ProgramFile("Corv Boot"), 0);  // a blank in the path
    RunBootProgram(r.ctx, prog, 1, false);
    EXPECT_EQ(r.console.Output(), "-- execute \"" + prog + "\" COM2 -x -b19200 -u01 -y\n");
    EXPECT_EQ(testing::ReadFile(box.path + "/args"), "COM2\n-x\n-b19200\n-u01\n-y\n");
    EXPECT_EQ(r.releases, 0);
  }
  {
    SCOPED_TRACE("CorvBoot ends with status 3");
    FakeRun r("\n");
    std::string prog = box.Program(ProgramFile("fails"), 3);
    EXPECT_EQ(StatusOf([&] { RunBootProgram(r.ctx, prog, 1, false); }), 3);
    EXPECT_NE(r.console.Output().find("\nCorvBoot returned an error: 3\nPress Enter key to continue\n"),
              std::string::npos);
    EXPECT_EQ(r.releases, 1);
    EXPECT_GE(r.console.Restores(), 1);
  }
  {
    SCOPED_TRACE("CorvBoot ended from outside");
    FakeRun r;
    r.ctx.settings.yesToPrompts = true;
    // Ended from outside (SIGTERM; on Windows as Ctrl+C ends it): a failure.
    std::string prog = testing::MakeChildProgram(box.path + "/" + ProgramFile("killed"), {testing::Terminated()});
    EXPECT_EQ(StatusOf([&] { RunBootProgram(r.ctx, prog, 1, false); }), testing::kTerminatedStatus);
  }
  {
    SCOPED_TRACE("CorvBoot missing");
    FakeRun r;
    r.ctx.settings.yesToPrompts = true;
    EXPECT_EQ(StatusOf([&] { RunBootProgram(r.ctx, box.path + "/missing", 1, false); }), 1);
    EXPECT_NE(r.console.Output().find("Fatal Error: FAILURE - cannot run CorvBoot: " + box.path + "/missing\n"),
              std::string::npos);
    EXPECT_EQ(r.releases, 1);
  }
}

TEST(BootProgram, SecuredBootLoaderInstallation) {
  Sandbox box;
  fs::create_directory(box.path + "/bin");
  box.Program("bin/" + std::string(BootProgramFile()), 0);
  using V = std::vector<std::string>;
  {
    SCOPED_TRACE("the first reboot succeeds");
    FakeRun r;
    r.ctx.settings.homeFolder = box.path;
    FakeUnit unit(r.ctx);
    InstallSecuredBootLoader(r.ctx, unit);
    EXPECT_EQ(unit.calls, (V{"close", "forget", "reboot prefer-rate"}));
  }
  {
    SCOPED_TRACE("the first reboot fails, the second after a reconnect succeeds");
    FakeRun r;
    r.ctx.settings.homeFolder = box.path;
    FakeUnit unit(r.ctx);
    unit.reboots = {false, true};
    InstallSecuredBootLoader(r.ctx, unit);
    EXPECT_EQ(unit.calls, (V{"close", "forget", "reboot prefer-rate", "reconnect @0", "reboot"}));
  }
  {
    SCOPED_TRACE("both reboots fail");
    FakeRun r;
    r.ctx.settings.yesToPrompts = true;
    r.ctx.settings.homeFolder = box.path;
    FakeUnit unit(r.ctx);
    unit.reboots = {false, false};
    EXPECT_EQ(StatusOf([&] { InstallSecuredBootLoader(r.ctx, unit); }), 1);
    EXPECT_NE(r.console.Output().find("Fatal Error: Unable to initialise Corvanta unit\n"), std::string::npos);
  }
}

}  // namespace
}  // namespace corv
