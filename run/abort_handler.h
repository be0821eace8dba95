// The abort handler: on SIGINT, SIGTERM, SIGABRT, SIGHUP or SIGQUIT it writes
// "-- aborted" as a stamped log line, closes the port, removes the lock file,
// closes the log, gives the terminal back, says "-- aborted" on the console
// and ends the process with status 1. A signal that was ignored when the
// program started stays ignored.
#pragma once

namespace corv {

void InstallAbortHandler();

}  // namespace corv
