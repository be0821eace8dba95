// The virtual unit: a model of the instrument's running software, its boot
// loader and the flash programmer started in its RAM (or of an LPC ISP chip, a
// modem, a dead port), fed with the bytes it receives and their arrival times.
// It knows each request's length from its command code and length fields,
// drops a partial frame after a silence of a few character times and slides
// past a frame whose check fails. It answers through a UnitWire, so the same
// model serves the in-process virtual line and a pseudo-terminal.
//
// Rates: the software answers at the profile's address, rate and parity; the
// boot loader and programmer at address 1 without parity, the boot loader at
// its start rate until set baud rate moves it. A programmer started from RAM
// listens at the link's rate on MCU types 1 and 2 and at 115200 on MCU types 3
// and 5, where it restarts at 115200 after reset programmer too.
//
// CTS: the boot loader raises it on MCU types 3 and 5, where overlapped
// downloads start from it, and every programmer raises it (on MCU type 2 the
// program looks for it once the programmer runs); the profile can deny it.
// Sequenced blocks are taken in order only, so a cumulative reply never covers
// a block that was lost on the line.
//
// Flash passes: the flash blocks from the programmer's start (or the last reset
// programmer) up to the next reset programmer or reset unit are one pass, kept
// by address. At its end the CRC-32 over its blocks in rising address order
// decides: the boot-loader constant of the MCU type raises the release (5 on
// MCU 2, 9 on 3 and 5); any other value is new software (checksum = CRC, flag
// bits 0 and 2 clear, version 5.10 for one of the four software checksums,
// else no working software). A pass cut off by a power cycle or a reset with at
// least one block written leaves no working software.
//
// Old fields: on MCU types 1 and 2 the manufacturing-fields record lives at
// flash address 512 (the old-fields area 512..639); a flash write at address 0
// erases that area, 0x1050 writes it back. On MCU types 3 and 5 the record lives
// apart from the flash image. Commands not handled in the current mode, and
// frames for another address, get no answer.
//
// Failure faults from the profile: a command ignored from its n-th request on
// (no answer, no effect: a reset that never happens, a file never created), and
// a forced result code (a non-zero one leaves the unit's state as it was).
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "sim/unit_profile.h"

namespace corv::sim {

// The unit's side of the line, as the unit drives it. Every call says from when
// it holds, never earlier than the event being handled; changes that time
// brings on its own (the software starting when the boot loader's start-up
// window closes) are made from Advance, so an adapter calls Advance with the
// arrival time before it judges a byte against the unit's rate.
class UnitWire {
 public:
  virtual ~UnitWire() = default;
  // Puts bytes on the wire no earlier than `atUs`, after what is still being sent.
  virtual void Send(uint64_t atUs, const uint8_t* data, size_t n) = 0;
  virtual void SetCts(uint64_t atUs, bool on) = 0;
  // The rate and parity the unit listens and talks at from `atUs` on.
  virtual void Listen(uint64_t atUs, int32_t baud, bool evenParity) = 0;
  // The unit resets: what it has not yet put on the wire is dropped.
  virtual void Flush(uint64_t atUs) = 0;
};

// Faults the unit makes itself. Replies and blocks are counted from 1.
struct UnitFaults {
  std::set<uint64_t> dropReply;         // the n-th reply is never sent
  std::set<uint64_t> strayBeforeReply;  // a stray byte goes out before the n-th reply
  std::set<uint64_t> corruptReply;      // one bit of the n-th reply is flipped
  std::map<uint64_t, uint64_t> lateReplyUs;  // the n-th reply comes this much later
  uint64_t lateEveryReplyUs = 0;        // every reply comes this much later
  uint64_t silentAfterBlocks = 0;       // flash blocks answered before the unit hangs; 0 = never
  uint64_t resetAfterBlocks = 0;        // the unit resets itself after writing this flash block; 0 = never
  std::map<uint64_t, uint8_t> flashBlockResult;    // result code for the n-th flash block
  std::map<uint64_t, uint8_t> fileBlockResult;     // ... the n-th file block
  std::map<uint64_t, uint8_t> stringsBlockResult;  // ... the n-th strings block
};

enum class UnitMode { Off, BootLoader, Software, Programmer, Hung, Lpc, Modem, Dead };
const char* ModeName(UnitMode m);

struct UnitCounters {
  uint64_t frames = 0;         // intact frames received (any address)
  uint64_t badFrames = 0;      // candidate frames whose check failed
  uint64_t droppedBytes = 0;   // bytes discarded while resynchronising
  uint64_t replies = 0;        // replies made (dropped ones included)
  uint64_t workUs = 0;         // the unit's own time for them (commands, flash writes)
  uint64_t flashBlocks = 0;    // flash write blocks received
  uint64_t fileBlocks = 0;
  uint64_t stringsBlocks = 0;
  uint64_t passes = 0;         // flash passes that ended with blocks
  uint64_t cutPasses = 0;      // passes cut off by a reset or power cycle
  uint64_t powerCycles = 0;
  std::map<uint16_t, uint64_t> commands;  // handled commands by code (0x41: quick response)
};

class UnitModel {
 public:
  explicit UnitModel(const UnitProfile& profile);
  UnitModel(const UnitModel&) = delete;
  UnitModel& operator=(const UnitModel&) = delete;

  // Connects the unit to its wire; it has been running for a while at `nowUs`
  // (its software when it has working software, else its boot loader).
  void Attach(UnitWire* wire, uint64_t nowUs);
  // One byte has fully arrived. Bytes come in time order.
  void OnByte(uint64_t atUs, uint8_t byte);
  // Power off and on at `atUs`: the boot loader's start-up window opens, then
  // the software starts unless a boot-loader command caught the boot loader.
  void PowerCycle(uint64_t atUs);
  // Lets time pass (the start-up window closes); state queries show the state
  // as of the last event or Advance.
  void Advance(uint64_t nowUs);
  // When Advance next has something to do (0: nothing pending).
  uint64_t PendingChangeUs() const { return mode_ == UnitMode::Off ? upAtUs_ : windowEndUs_; }
  // Shortest silence that ends a partial frame, beside four character times.
  void SetMinSilenceUs(uint64_t us) { minSilenceUs_ = us; }

  UnitFaults faults;

  // --- State.
  const UnitProfile& Profile() const { return profile_; }
  UnitMode Mode() const { return mode_; }
  bool WorkingSoftware() const { return (flags_ & 1) == 0; }
  uint16_t Version() const { return WorkingSoftware() ? version_ : 0; }
  uint32_t Checksum() const { return checksum_; }
  uint8_t Release() const { return release_; }
  uint8_t Flags() const { return flags_; }
  uint32_t Serial() const;
  std::vector<uint8_t> Fields() const;
  int32_t ListenBaud() const;
  bool ListenParity() const { return mode_ == UnitMode::Software && profile_.evenParity; }
  uint8_t Address() const;
  bool Cts() const { return cts_; }
  const std::vector<uint8_t>& StringsArea() const { return strings_; }
  const std::map<uint8_t, std::vector<uint8_t>>& Files() const { return files_; }
  // The five attribute words the unit reports for a file (all 0 when missing).
  std::array<uint32_t, 5> Attributes(uint8_t file) const;
  std::vector<uint8_t> ReadFlash(uint32_t address, size_t n) const;
  const UnitCounters& Counters() const { return counters_; }
  // key=value lines: mode, version, checksum, release, flags, serial, rate, ...
  std::string StateText() const;

  // Called with a line for every frame handled and every state change.
  std::function<void(const std::string&)> trace;

 private:
  using Frame = std::vector<uint8_t>;
  enum class Parse { NeedMore, Invalid, Complete };
  Parse FrameLength(size_t& need) const;
  void HandleFrame(const Frame& f, uint64_t atUs);
  void Software(const Frame& f, uint16_t code, uint64_t atUs);
  bool BootLoader(const Frame& f, uint16_t code, uint64_t atUs);
  void Programmer(const Frame& f, uint16_t code, uint64_t atUs);
  bool FlashBlock(const Frame& f, uint16_t code, uint64_t atUs);
  void FileCommand(const Frame& f, uint16_t code, uint64_t atUs);
  void StringsCommand(const Frame& f, uint16_t code, uint64_t atUs);
  void FieldsCommand(const Frame& f, uint16_t code, uint64_t atUs);
  void TextByte(uint64_t atUs, uint8_t byte);
  // The result a command answers with: the profile's forced one, else `own`.
  int ResultFor(uint16_t code, int own) const;

  // Sends a reply frame (the check is appended) after `workUs` of processing;
  // returns when its last byte has left the unit.
  uint64_t Reply(uint64_t atUs, std::vector<uint8_t> payload, uint64_t workUs);
  uint64_t SendRaw(uint64_t atUs, const std::vector<uint8_t>& bytes);
  void Restart(uint64_t atUs, bool stayInBootLoader, bool flush);
  void Hang(uint64_t atUs);
  void StartProgrammer(uint64_t atUs);
  void ListenAt(uint64_t atUs, int32_t baud, bool parity);
  void CtsAt(uint64_t atUs, bool on);
  void EndPass();
  void CutPass();
  void WriteFlash(uint32_t address, const uint8_t* data, size_t n);
  void EraseOldFields();
  void StoreFields(const uint8_t* record);
  uint64_t ByteUs() const;
  uint64_t BlockUs(size_t n) const;
  void Note(const std::string& line) const;

  UnitProfile profile_;
  UnitWire* wire_ = nullptr;
  UnitMode mode_ = UnitMode::Off;
  uint64_t upAtUs_ = 0;         // Off until then
  uint64_t windowEndUs_ = 0;    // the boot loader's start-up window, 0 = none
  int32_t bootRate_ = 9600;     // the boot loader's current rate
  int32_t progRate_ = 115200;   // the programmer's current rate
  bool cts_ = false;
  uint64_t busyUntilUs_ = 0;
  uint64_t txFreeUs_ = 0;
  uint64_t minSilenceUs_ = 0;
  std::vector<uint8_t> rx_;
  uint64_t lastByteUs_ = 0;

  uint16_t version_ = 0;
  uint32_t checksum_ = 0;
  uint8_t release_ = 0;
  uint8_t flags_ = 0;

  std::map<uint32_t, std::array<uint8_t, 256>> flash_;  // pages, erased = 0xFF
  std::vector<uint8_t> fieldsStore_;                     // MCU 3 and 5
  std::map<uint32_t, std::vector<uint8_t>> pass_;
  uint16_t expectedSeq_ = 0;
  std::map<uint32_t, std::array<uint8_t, 256>> ram_;
  std::vector<std::pair<uint32_t, uint32_t>> ramWritten_;  // [from, to)
  std::vector<uint8_t> strings_;
  std::map<uint8_t, std::vector<uint8_t>> files_;
  std::map<uint8_t, bool> openForWrite_;  // open files: true = created for writing

  // LPC ISP and modem text exchanges.
  bool lpcAutobaud_ = false, lpcSynced_ = false;
  std::string textLine_;

  UnitCounters counters_;
};

}  // namespace corv::sim
