// The ways out of a run (fatal error, plain exit, assertion failure) and the two
// console services every waiting loop and every end of run use.
#include "support/context.h"

#include <string>

#include "platform/held.h"
#include "support/ini.h"

namespace corv {

void ReleaseRun(Context& ctx) {
  held::ReleaseAll();
  ctx.console.Flush();
  ctx.console.Restore();
}

void Fatal(Context& ctx, std::string_view message) {
  ctx.out.StartLine();  // after progress marks or a prompt, a line of its own
  ctx.Notice() << "Fatal Error: " << message << "\r\n";
  ReleaseRun(ctx);
  int status = 1;
  if (!ctx.settings.parameterFile.empty()) {
    // Copied: the message may live in the settings the write could touch.
    std::string text(message);
    WriteIniString(ctx, ctx.settings.parameterFile, "Message", text);
    status = 2;
  }
  ClosingKeyPrompt(ctx);
  ctx.console.Flush();
  throw RunExit{status};
}

void ExitRun(Context& ctx, int status) {
  ReleaseRun(ctx);
  throw RunExit{status};
}

void ClosingKeyPrompt(Context& ctx) {
  if (ctx.settings.yesToPrompts || ctx.settings.manufacturingMode) return;
  ctx.Plain() << "Press Enter key to continue";
  ctx.console.Flush();
  ctx.console.ReadKey();
  ctx.Plain() << "\r\n";
}

bool EscapePressed(Context& ctx) { return ctx.console.PollKey() == 27; }

void AssertFailed(Context& ctx, std::string_view source, int line) {
  ctx.Plain() << "\r\nAssert Failed:" << source << ":" << Dec{line} << "\r\n";
  ReleaseRun(ctx);
  ctx.console.ReadKey();
  throw RunExit{1};
}

}  // namespace corv
