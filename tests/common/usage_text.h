// The usage text as the console shows it, written out here rather than taken
// from the program, so that a changed or lost line fails the tests that show it.
#pragma once

namespace corv::testing {

inline constexpr const char* kUsage =
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

}  // namespace corv::testing
