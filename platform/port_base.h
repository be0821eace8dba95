// What every port backend shares: the 11 read attempts, the writes in calls of
// at most 4096 bytes within an 11-call budget, the purge with its line-error
// report, the change of line and time-out on the open port, and the bytes traced
// through the driver's error hook. A backend supplies the single system steps.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/port.h"

namespace corv {

class PortBase : public SerialPort {
 public:
  static constexpr int kAttempts = 11;
  static constexpr uint16_t kWriteChunk = 4096;

  void Purge() final;
  bool Reconfigure(const LineSettings& line, int16_t readTimeoutMs, OpenResult& result) final;
  int Receive(uint8_t* buf, uint16_t count) final;
  int Transmit(const uint8_t* data, uint16_t count) final;
  std::string TakeFailure() final;

 protected:
  explicit PortBase(const PortDriver::ErrorHook& hook) : hook_(hook) {}

  // One read within the port's time-out: the count (short or 0 when the time
  // passed), or -1 with the reason left for ErrorText.
  virtual int ReadOnce(uint8_t* buf, uint16_t count) = 0;
  // One write of at most kWriteChunk bytes: the count moved, or -1.
  virtual int WriteOnce(const uint8_t* data, uint16_t count) = 0;
  // Drops pending output and input; false on failure.
  virtual bool DiscardPending() = 0;
  // Fetches and clears the line-error flags; false on failure.
  virtual bool FetchLineErrors(LineErrors& errors) = 0;
  // "Error: " and the system's text for the last failed step.
  virtual std::string ErrorText() const = 0;
  // The errno of that step.
  virtual int LastError() const = 0;
  // The read time-out of every later read.
  virtual void SetReadTimeout(int16_t ms) = 0;
  // What a failed line setting with error `err` stands for, as a failed open
  // would tell it (by the errno numbers unless the backend knows better).
  virtual OpenOutcome OutcomeOfLineFailure(int err) const;

  void Report(std::string_view text) const {
    if (hook_) hook_(text);
  }
  void ReportSystemError() const {
    if (hook_) hook_(ErrorText());
  }
  // Fetch, clear and classify the line errors; the text of a failed fetch instead.
  void ReportLineErrors();

 private:
  void TraceBytes(char open, const uint8_t* data, int n, char close) const;
  // A failed read or write attempt: reported, the line errors fetched, and the
  // first one's reason kept for TakeFailure.
  void AttemptFailed();

  const PortDriver::ErrorHook& hook_;
  std::string failure_;
  bool failureNoted_ = false;
};

}  // namespace corv
