// What the run holds of the system, in one process-wide record: the port's
// lock file, the port, the log, the terminal. Whoever takes one of these
// registers it here as it takes it and gives it back through here, and every
// way out gives back from here whatever is still held: a signal (which cannot
// reach the owners) by the record alone, every other way out by asking each
// owner first (so that its messages and its own state stay right) and then by
// the record. Giving back is async-signal-safe and happens once: a token that
// was given back, by whichever way, gives back nothing more.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

namespace corv::held {

// The kinds, in the order a way out gives them back: the lock file goes while
// the port is still held, so that a run that gets the port next never finds
// this run's file.
enum class Kind : uint8_t { LockFile, Port, Log, Terminal };

// One registration. Tokens are never used twice; kNone is no registration.
using Token = uint32_t;
inline constexpr Token kNone = 0;

// True while `token` is registered and not given back.
bool Holds(Token token);
// Gives back one thing now, unless it is gone already: 0, or the system's
// error number of the step that failed (a lock file that would not go).
int Release(Token token);
// Every way out but a signal: each owner gives back what it holds (kind by
// kind), then the record gives back whatever is still registered.
void ReleaseAll();

// Makes the lock file `path` unless a file of that name is there already, and
// registers it for removal: the token, or kNone with the system's error number
// in `error`.
Token MakeLockFile(const std::string& path, int& error);

// An owner's registration: on a way out other than a signal the owner gives
// back what it holds through `giveBack` (its messages, its own records); a
// signal leaves it to the things the owner registered with the record.
// Dropped when the owner gives back by itself, and when it goes.
class Owner {
 public:
  Owner() = default;
  ~Owner() { Drop(); }
  Owner(const Owner&) = delete;
  Owner& operator=(const Owner&) = delete;
  // Registered (once) until dropped or called.
  void Take(Kind kind, std::function<void()> giveBack);
  void Drop();
  bool Held() const { return Holds(token_); }

 private:
  Token token_ = kNone;
};

}  // namespace corv::held
