// The abort handler: on an interrupt, a termination, an abort, a hang-up or a
// break it writes "-- aborted" as a stamped log line, gives back everything
// the held record holds (the lock file while the port is still held, then the
// port, the log, the terminal), says "-- aborted" on the console and ends the
// process with status 1. A signal that was ignored when the program started
// stays ignored.
#pragma once

namespace corv {

void InstallAbortHandler();

}  // namespace corv
