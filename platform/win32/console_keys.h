// The key a console read gives the run. _getch reads the console in raw mode,
// where Ctrl-C arrives as the key 3 instead of the console's event: it is
// raised as that event (the abort handler ends the run; a process that
// ignores Ctrl-C reads on) and is never an answer. Ctrl-Break is always the
// console's event. A function or arrow key (a prefix and a code) is 0.
#pragma once

namespace corv::console_keys {

// The next key from `next` (_getch, or a test's stand-in), as above.
int Next(int (*next)());

}  // namespace corv::console_keys
