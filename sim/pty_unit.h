// A unit model serving one COM port through a pseudo-terminal, in real time:
// the link <machine folder>/com<N> points at the pty's slave side, which this
// server keeps open itself so that programs may open and close the port as
// often as they like. Bytes the program sends at another rate than the unit
// listens at (the rate it set on the slave, read from the terminal) reach the
// unit garbled; parity cannot be seen on a pty and is not checked. A pty
// passes bytes at once, so each reply is written when its last byte would have
// left the unit on a wire, never sooner: the rate a unit changes after a reply
// holds by the time the program has it; with the profile's wireIn the
// program's bytes likewise reach the unit one wire time after another. A pty
// has no CTS line. Signals arrive
// through a signalfd: SIGTERM, SIGINT and SIGHUP end the service, SIGUSR1
// power-cycles the unit, SIGUSR2 writes its state.
#pragma once
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "sim/unit_model.h"

namespace corv::sim {

class PtyUnit : private UnitWire {
 public:
  PtyUnit(const UnitProfile& profile, std::string linkPath, std::string statePath);
  ~PtyUnit() override;
  PtyUnit(const PtyUnit&) = delete;
  PtyUnit& operator=(const PtyUnit&) = delete;

  // Makes the pseudo-terminal and the link; false with `error` set.
  bool Open(std::string& error);
  // Serves until a terminating signal (blocked by the caller, read from
  // `signalFd`); returns 0, or 1 after an error.
  int Serve(int signalFd);
  // Writes the unit's state to the state file (temporary file and rename).
  bool WriteState() const;
  // Removes the link when it still points at this server's pty.
  void RemoveLink();

  UnitModel& Model() { return model_; }
  const std::string& SlavePath() const { return slavePath_; }

 private:
  void Send(uint64_t atUs, const uint8_t* data, size_t n) override;
  void SetCts(uint64_t, bool) override {}
  void Listen(uint64_t atUs, int32_t baud, bool evenParity) override;
  void Flush(uint64_t atUs) override;
  struct LineAtUs {
    uint64_t atUs;
    int32_t baud;
    bool evenParity;
  };
  // The rate and parity the unit listens and talks at, at `us`.
  LineAtUs LineAt(uint64_t us) const;
  void WriteDue(uint64_t nowUs);
  void ReadInput(uint64_t nowUs);
  // The byte as the unit hears it at `atUs`: garbled when it was sent at
  // another rate than the unit listens at.
  void Hear(uint64_t atUs, uint8_t byte, int32_t sentBaud);
  void HearDue(uint64_t nowUs);

  UnitModel model_;
  std::string linkPath_, statePath_, slavePath_;
  int master_ = -1, slave_ = -1;
  struct Out {
    uint64_t atUs;
    std::vector<uint8_t> bytes;
  };
  std::deque<Out> out_;
  uint64_t txFreeUs_ = 0;         // the unit's transmitter is idle from here
  struct In {
    uint64_t atUs;  // its last bit reaches the unit
    uint8_t byte;
    int32_t sentBaud;
  };
  bool wireIn_ = false;
  std::deque<In> in_;             // on the wire towards the unit (wireIn)
  uint64_t rxFreeUs_ = 0;         // the wire towards the unit is idle from here
  std::vector<LineAtUs> listen_;  // line changes in time order
};

uint64_t MonotonicUs();

}  // namespace corv::sim
