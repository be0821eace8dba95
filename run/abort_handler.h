// The abort handler: on SIGINT, SIGTERM, SIGABRT, SIGHUP or SIGQUIT it says
// "-- aborted", closes the port, removes the lock file, closes the log, gives
// the terminal back and ends the process with status 1.
#pragma once

namespace corv {

void InstallAbortHandler();

}  // namespace corv
