// The attempt and budget rules shared by the port backends.
#include "platform/port_base.h"

#include <algorithm>
#include <cerrno>
#include <utility>

namespace corv {

void PortBase::TraceBytes(char open, const uint8_t* data, int n, char close) const {
  if (!hook_) return;
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(static_cast<size_t>(n) * 3 + 2);
  text.push_back(open);
  for (int i = 0; i < n; ++i) {
    if (i) text.push_back(',');
    text.push_back(kDigits[data[i] >> 4]);
    text.push_back(kDigits[data[i] & 15]);
  }
  text.push_back(close);
  hook_(text);
}

void PortBase::ReportLineErrors() {
  LineErrors errors;
  if (!FetchLineErrors(errors)) {
    ReportSystemError();
    return;
  }
  const std::string_view text = ClassifyLineErrors(errors);
  if (!text.empty()) Report(text);
}

void PortBase::Purge() {
  if (!DiscardPending()) {
    ReportSystemError();
    return;
  }
  ReportLineErrors();
}

OpenOutcome PortBase::OutcomeOfLineFailure(int err) const {
  return err == EINVAL                   ? OpenOutcome::SettingRefused
         : err == ENODEV || err == ENXIO ? OpenOutcome::NotPresent
                                         : OpenOutcome::OtherError;
}

bool PortBase::Reconfigure(const LineSettings& line, int16_t readTimeoutMs, OpenResult& result) {
  // SetLine purges first and reports its own failure.
  if (SetLine(line) < 0) {
    const int err = LastError();
    result.outcome = OutcomeOfLineFailure(err);
    result.systemError = err;
    result.errorText = ErrorText();
    return false;
  }
  SetReadTimeout(readTimeoutMs);
  Purge();
  result = OpenResult{OpenOutcome::Opened, 0, {}};
  return true;
}

void PortBase::AttemptFailed() {
  const std::string text = ErrorText();
  if (!failureNoted_) {
    failureNoted_ = true;
    constexpr std::string_view kLead = "Error: ";
    failure_ = text.compare(0, kLead.size(), kLead) == 0 ? text.substr(kLead.size()) : text;
  }
  Report(text);
  ReportLineErrors();
}

std::string PortBase::TakeFailure() { return std::exchange(failure_, std::string()); }

int PortBase::Receive(uint8_t* buf, uint16_t count) {
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    const int got = ReadOnce(buf, count);
    if (got >= 0) {
      TraceBytes('[', buf, got, ']');
      return got;
    }
    AttemptFailed();
  }
  return -1;
}

int PortBase::Transmit(const uint8_t* data, uint16_t count) {
  int total = 0;
  int remaining = count;
  bool lastOk = true;
  for (int calls = 0; remaining > 0 && calls < kAttempts; ++calls) {
    const auto chunk = static_cast<uint16_t>(std::min<int>(remaining, kWriteChunk));
    const int wrote = WriteOnce(data + total, chunk);
    if (wrote > 0) {
      TraceBytes('<', data + total, wrote, '>');
      total += wrote;
      remaining -= wrote;
      lastOk = true;
    } else if (wrote == 0) {
      Report("Incomplete write");
      return -1;
    } else {
      AttemptFailed();
      lastOk = false;
    }
  }
  if (remaining == 0) return total;
  return lastOk ? total : -1;
}

}  // namespace corv
