// Faults aimed at one request of a run: the virtual unit's trace names each
// frame it handles ("programmer: 1032"), so that a test can act at the moment a
// given request arrives, before it is answered: lose the reply to it, or let
// the line fail from there on.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "sim/unit_model.h"

namespace corv::testing {

// Calls `action` each time the unit handles a frame whose trace line is `frame`.
inline void OnFrame(sim::UnitModel& model, const std::string& frame, std::function<void()> action) {
  model.trace = [previous = std::move(model.trace), frame, action = std::move(action)](const std::string& line) {
    if (previous) previous(line);
    if (line == frame) action();
  };
}

// The unit carries out every `frame` it gets, but its replies to those for
// which `pick` (counting them from 1) says so are lost; by default all.
inline void LoseRepliesTo(sim::UnitModel& model, const std::string& frame,
                          std::function<bool(int)> pick = [](int) { return true; }) {
  auto seen = std::make_shared<int>(0);
  OnFrame(model, frame, [&model, seen, pick = std::move(pick)] {
    if (pick(++*seen)) model.faults.dropReply.insert(model.Counters().replies + 1);
  });
}

// The replies to the `frame`s for which `pick` (counting them from 1) says so
// come `lateUs` later than they would.
inline void DelayRepliesTo(sim::UnitModel& model, const std::string& frame, std::function<bool(int)> pick,
                           uint64_t lateUs) {
  auto seen = std::make_shared<int>(0);
  OnFrame(model, frame, [&model, seen, pick = std::move(pick), lateUs] {
    if (pick(++*seen)) model.faults.lateReplyUs[model.Counters().replies + 1] = lateUs;
  });
}

}  // namespace corv::testing
