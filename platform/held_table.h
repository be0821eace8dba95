// The held record's table, the same on every system: entries in storage that
// is there before the program runs, registration, look-up, and giving back
// kind by kind, owners first. A backend supplies its Entry (the fields `held`,
// `token`, `kind` and `owner`, and Clear() for the rest) and the step that
// gives one entry's thing back; the abort handler reads the same entries.
// An entry is complete before it says it is held, and let go only after its
// last step, so a way out taken in between repeats steps rather than skipping
// them.
#pragma once
#include <atomic>
#include <functional>
#include <utility>

#include "platform/held.h"

namespace corv::held {

// The order every way out gives back in.
inline constexpr Kind kReleaseOrder[] = {Kind::LockFile, Kind::Port, Kind::Log, Kind::Terminal};

template <class Entry>
class Table {
 public:
  // More than one run's worth: tests hold several things of a kind at once.
  static constexpr int kEntries = 16;
  // Gives one entry's thing back: 0, or the system's error number.
  using GiveBackStep = int (*)(Entry&);

  explicit constexpr Table(GiveBackStep step) : step_(step) {}

  // A free entry made ready for `kind`; null when all are taken.
  Entry* Claim(Kind kind) {
    for (Entry& e : entries_) {
      if (e.held) continue;
      e.token = ++lastToken_;
      e.kind = kind;
      e.owner = false;
      e.Clear();
      return &e;
    }
    return nullptr;
  }

  // Marks a claimed entry held: its token, or kNone for no entry.
  Token Publish(Entry* e) {
    if (!e) return kNone;
    std::atomic_thread_fence(std::memory_order_seq_cst);
    e->held = 1;
    return e->token;
  }

  Entry* Find(Token token) {
    if (token == kNone) return nullptr;
    for (Entry& e : entries_) {
      if (e.held && e.token == token) return &e;
    }
    return nullptr;
  }

  // The first registered thing of `kind` that is not an owner's, or null.
  const Entry* FindHeld(Kind kind) const {
    for (const Entry& e : entries_) {
      if (e.held && !e.owner && e.kind == kind) return &e;
    }
    return nullptr;
  }

  // One entry given back (an owner's only let go).
  int GiveBack(Entry& e) {
    const int err = e.owner ? 0 : step_(e);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    e.held = 0;
    return err;
  }

  // The abort handler's way out: every registered entry, by the record alone,
  // each by `step` when given (a system whose handler must leave some things
  // to the process's end), else by the record's own step.
  void ReleaseEverything(GiveBackStep step = nullptr) {
    for (Kind kind : kReleaseOrder) {
      for (Entry& e : entries_) {
        if (!e.held || e.kind != kind) continue;
        if (step && !e.owner) {
          step(e);
          std::atomic_thread_fence(std::memory_order_seq_cst);
          e.held = 0;
        } else {
          GiveBack(e);
        }
      }
    }
  }

  // Every other way out: the owners first, kind by kind, each forgotten before
  // it is asked, so that a way out taken while it gives back does not ask it
  // again; then whatever is still registered.
  void ReleaseAll() {
    for (Kind kind : kReleaseOrder) {
      for (int i = 0; i < kEntries; ++i) {
        Entry& e = entries_[i];
        if (!e.held || !e.owner || e.kind != kind) continue;
        std::function<void()> giveBack = std::move(giveBacks_[i]);
        giveBacks_[i] = nullptr;
        GiveBack(e);
        if (giveBack) giveBack();
      }
    }
    ReleaseEverything();
  }

  // An owner's registration, with its own way of giving back.
  Token TakeForOwner(Kind kind, std::function<void()> giveBack) {
    Entry* e = Claim(kind);
    if (!e) return kNone;
    e->owner = true;
    giveBacks_[e - entries_] = std::move(giveBack);
    return Publish(e);
  }

  // An owner that gave back by itself, or went: its registration dropped.
  void DropOwner(Token token) {
    if (Entry* e = Find(token)) {
      giveBacks_[e - entries_] = nullptr;
      GiveBack(*e);
    }
  }

 private:
  Entry entries_[kEntries] = {};
  // Owners' ways of giving back; never touched by the abort handler.
  std::function<void()> giveBacks_[kEntries];
  Token lastToken_ = kNone;
  GiveBackStep step_;
};

}  // namespace corv::held
