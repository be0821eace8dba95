// The run context: the records one run owns (settings, console, clock, the
// message levels and log) and the fatal-error path that ends a run. Higher
// subsystems keep their own records beside it; what a way out must give back
// (the port and its lock, the log, the terminal) is registered with the held
// record (platform/held.h) by whoever takes it.
#pragma once
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/console.h"
#include "support/output.h"
#include "support/settings.h"

namespace corv {

// Thrown to end a run with an exit status; main() returns the status and tests
// catch it. Whoever throws it has already released what the run held.
struct RunExit {
  int status;
};

struct Context {
  Context(Console& console, Clock& clock) : console(console), clock(clock), out(console, clock, settings) {}
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

  RunSettings settings;
  Console& console;
  Clock& clock;
  Output out;
  // The program's own path (for the log folder and the log's first line).
  std::string programPath;

  OutStream& Notice() { return out.Notice(); }
  OutStream& Report() { return out.Report(); }
  OutStream& Detail() { return out.Detail(); }
  OutStream& Trace() { return out.Trace(); }
  OutStream& Plain() { return out.Plain(); }  // console only, never logged
};

// "Fatal Error: " + message on the notice stream (on a new line when one is
// open), port released, log closed,
// Message key written when a parameter file is named, closing key prompt;
// throws RunExit{2} with a parameter file, RunExit{1} without.
[[noreturn]] void Fatal(Context& ctx, std::string_view message);

// Ends the run with `status` after releasing the port and lock, closing the log
// and restoring the terminal, without a message (declined questions).
[[noreturn]] void ExitRun(Context& ctx, int status);

// "Press Enter key to continue" and one key, unless -y or manufacturing mode.
void ClosingKeyPrompt(Context& ctx);

// True when a key is waiting and it is Escape (27); other keys are consumed.
bool EscapePressed(Context& ctx);

// Gives back what the run holds on a way out (everything in the held record:
// the port and its lock, the log, the terminal) and the console. Safe to call
// more than once.
void ReleaseRun(Context& ctx);

// CR LF, "Assert Failed:", source, ":", line on the console, one key, then the
// run ends with status 1 after releasing what it holds.
[[noreturn]] void AssertFailed(Context& ctx, std::string_view source, int line);

// The source name the support library gives its assertion failures.
inline constexpr std::string_view kSupportSourceName = "..\\QuibSub\\QuibSub";

}  // namespace corv
