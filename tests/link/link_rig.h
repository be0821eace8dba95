// The bench the link-state and discovery tests run on: a virtual clock, a
// scripted console whose key test can run a script at given virtual times (a
// user pressing Escape, switching the unit off and on), and a port driver over
// virtual lines that records what was sent at which rate and can hold a port
// busy for a while. A temporary machine folder keeps the registry apart.
#pragma once
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "link/link.h"
#include "sim/virtual_line.h"
#include "platform/console.h"
#include "platform/hive_file.h"
#include "platform/environment.h"
#include "tests/common/scratch.h"

namespace corv::test {

// Keys come from the script; before each key test the actions whose time has
// come run once.
class TimedConsole : public ScriptedConsole {
 public:
  TimedConsole(VirtualClock& clock, std::string keys) : ScriptedConsole(std::move(keys)), clock_(clock) {}
  void At(uint32_t ms, std::function<void()> action) { actions_.emplace(ms, std::move(action)); }
  int PollKey() override {
    while (!actions_.empty() && actions_.begin()->first <= clock_.TickMs()) {
      auto action = std::move(actions_.begin()->second);
      actions_.erase(actions_.begin());
      action();
    }
    return ScriptedConsole::PollKey();
  }

 private:
  VirtualClock& clock_;
  std::multimap<uint32_t, std::function<void()>> actions_;
};

struct Sent {
  int16_t port;
  int32_t baud;
  bool parity;
  std::vector<uint8_t> bytes;
};

class RecordingDriver : public PortDriver {
 public:
  explicit RecordingDriver(VirtualClock& clock) : clock_(clock), inner_(clock) {}
  VirtualLine& AddLine(int16_t port) { return inner_.AddLine(port); }
  VirtualPortDriver& Inner() { return inner_; }
  // Opens of the port fail as busy until this virtual time.
  void BusyUntil(int16_t port, uint32_t ms) { busyUntil_[port] = ms; }
  // Setting this rate on the port fails with a system error (errno `error`,
  // "Error: " + its text), whether the port is opened at it or set to it.
  void FailRate(int16_t port, int32_t baud, int error, std::string text) {
    failing_[{port, baud}] = {error, std::move(text)};
  }
  std::unique_ptr<SerialPort> Open(int16_t port, const LineSettings& line, int16_t timeoutMs,
                                   OpenResult& result) override {
    ++opens;
    const auto b = busyUntil_.find(port);
    if (b != busyUntil_.end() && clock_.TickMs() < b->second) {
      result.outcome = OpenOutcome::Busy;
      result.systemError = 16;
      result.errorText = "Error: Device or resource busy";
      return nullptr;
    }
    if (const auto f = failing_.find({port, line.baud}); f != failing_.end()) {
      result.outcome = OpenOutcome::OtherError;
      result.systemError = f->second.first;
      result.errorText = f->second.second;
      return nullptr;
    }
    auto p = inner_.Open(port, line, timeoutMs, result);
    if (!p) return p;
    return std::make_unique<Tap>(*this, port, line, std::move(p));
  }
  std::vector<Sent> sent;
  int opens = 0;
  int changes = 0;  // line changes on an open port
  // The next changes of an open port fail so.
  std::vector<OpenResult> changeFailures;

  // Rates of the frames sent that begin with these bytes.
  std::vector<int32_t> RatesOf(std::vector<uint8_t> head) const {
    std::vector<int32_t> r;
    for (const Sent& s : sent)
      if (s.bytes.size() >= head.size() && std::equal(head.begin(), head.end(), s.bytes.begin())) r.push_back(s.baud);
    return r;
  }
  // Addresses of the quick response requests sent.
  std::vector<int> QuickAddresses() const {
    std::vector<int> r;
    for (const Sent& s : sent)
      if (s.bytes.size() == 4 && s.bytes[1] == 0x41) r.push_back(s.bytes[0]);
    return r;
  }

 private:
  class Tap : public SerialPort {
   public:
    Tap(RecordingDriver& d, int16_t port, const LineSettings& line, std::unique_ptr<SerialPort> inner)
        : d_(d), port_(port), line_(line), inner_(std::move(inner)) {}
    void Purge() override { inner_->Purge(); }
    int SetLine(const LineSettings& line) override {
      if (const auto f = d_.failing_.find({port_, line.baud}); f != d_.failing_.end()) {
        errno = f->second.first;
        return -1;
      }
      line_ = line;
      return inner_->SetLine(line);
    }
    bool Reconfigure(const LineSettings& line, int16_t timeoutMs, OpenResult& result) override {
      ++d_.changes;
      line_ = line;
      if (!d_.changeFailures.empty()) {
        result = d_.changeFailures.front();
        d_.changeFailures.erase(d_.changeFailures.begin());
        return false;
      }
      if (const auto f = d_.failing_.find({port_, line.baud}); f != d_.failing_.end()) {
        result.outcome = OpenOutcome::OtherError;
        result.systemError = f->second.first;
        result.errorText = f->second.second;
        return false;
      }
      return inner_->Reconfigure(line, timeoutMs, result);
    }
    int Receive(uint8_t* buf, uint16_t count) override { return inner_->Receive(buf, count); }
    int Transmit(const uint8_t* data, uint16_t count) override {
      d_.sent.push_back({port_, line_.baud, line_.parity, std::vector<uint8_t>(data, data + count)});
      return inner_->Transmit(data, count);
    }
    int CtsOn() override { return inner_->CtsOn(); }

   private:
    RecordingDriver& d_;
    int16_t port_;
    LineSettings line_;
    std::unique_ptr<SerialPort> inner_;
  };
  VirtualClock& clock_;
  VirtualPortDriver inner_;
  std::map<int16_t, uint32_t> busyUntil_;
  std::map<std::pair<int16_t, int32_t>, std::pair<int, std::string>> failing_;
};

// Everything one test needs, with the link made after the settings are set.
struct Rig {
  explicit Rig(std::string keys = {}) : console(clock, std::move(keys)), ctx(console, clock), driver(clock) {
    ctx.settings.debugOn = true;
  }
  // COMn there, and the port the run uses.
  VirtualLine& UseCom(int16_t n) {
    ctx.settings.portNumber = n;
    return driver.AddLine(n);
  }
  Link& MakeLink() {
    link = std::make_unique<Link>(ctx, driver);
    return *link;
  }
  const std::string& Out() const { return console.Output(); }
  // Lines of the console output (the console shows each CR LF as one '\n').
  std::vector<std::string> Lines() const {
    std::vector<std::string> r(1);
    for (char c : Out()) {
      if (c == '\n')
        r.emplace_back();
      else
        r.back().push_back(c);
    }
    return r;
  }

  testing::MachineFolderScope machine{"corv-link"};  // its own, and no lock folder
  VirtualClock clock;
  TimedConsole console;
  Context ctx;
  RecordingDriver driver;
  std::unique_ptr<Link> link;
};

}  // namespace corv::test
