// A unit session for run-control tests: answers as told and records the calls.
#pragma once
#include <string>
#include <vector>

#include "run/unit_session.h"
#include "support/context.h"

namespace corv::testing {

class FakeUnit : public UnitSession {
 public:
  explicit FakeUnit(Context& ctx) : ctx_(ctx) {}
  uint8_t SoftwareMode() const override { return mode; }
  void ForgetSoftwareMode() override {
    calls.push_back("forget");
    mode = 0;
  }
  uint16_t SoftwareVersion() const override { return version; }
  uint8_t UnitId() const override { return unitId; }
  bool OverlappedInUse() const override { return overlapped; }
  void ReadExtendedInformation() override { calls.push_back("extended"); }
  bool RunUpdateProcedure(int32_t serial, bool confirm) override {
    calls.push_back("update " + std::to_string(serial) + (confirm ? " confirm" : " no-confirm"));
    ctx_.Notice() << "(update)\r\n";
    return resets;
  }
  int32_t ReadManufacturingInput() override {
    calls.push_back("manufacturing input");
    return serialNumber;
  }
  bool Reconnect() override {
    calls.push_back("reconnect @" + std::to_string(ctx_.clock.TickMs()));
    return reconnects;
  }
  bool SoftwareAnswers() override {
    calls.push_back("software answers @" + std::to_string(ctx_.clock.TickMs()));
    return answersAgain;
  }
  bool RebootAndInterrogate(bool preferRate) override {
    calls.push_back(preferRate ? "reboot prefer-rate" : "reboot");
    return reboots.empty() ? true : Take(reboots);
  }
  bool SelectFlashTarget() override {
    calls.push_back("select");
    return selects;
  }
  bool ResetUnit() override {
    calls.push_back("reset");
    return resets;
  }
  void ClosePortAndUnlock() override { calls.push_back("close"); }

  uint8_t mode = 1;
  uint16_t version = 510;
  uint8_t unitId = 1;
  bool overlapped = false;
  int32_t serialNumber = 0;
  bool reconnects = true, selects = true, resets = true;  // resets: the unit answers its reset
  bool answersAgain = true;  // its software answers after an unanswered reset
  std::vector<bool> reboots;  // answers in turn; true once used up
  std::vector<std::string> calls;

 private:
  static bool Take(std::vector<bool>& v) {
    bool b = v.front();
    v.erase(v.begin());
    return b;
  }
  Context& ctx_;
};

}  // namespace corv::testing
