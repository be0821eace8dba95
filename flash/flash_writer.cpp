// Writing an image into flash. Block by block each block waits for its reply;
// overlapped, sequence-numbered blocks go out ahead up to the window and one
// reply acknowledges every block up to its own number. Only a reply that fails
// the frame check makes every block in flight go out again: a unit that lost
// one block answers the next ones with its last good number, so nothing else
// tells the program which blocks arrived.
#include "flash/flash_writer.h"

#include <string>

#include "flash/exchange.h"
#include "flash/transfer_ring.h"
#include "flash/unit_tables.h"
#include "link/commands.h"
#include "platform/registry_store.h"

namespace corv {

namespace {

constexpr int kAttempts = 20;
constexpr uint32_t kMaxBlock = 129;

class FlashBlocks {
 public:
  FlashBlocks(Link& link, bool overlapped, int window) : link_(link), overlapped_(overlapped), ring_(window) {}

  bool Write(const ImageRecord& r) { return overlapped_ ? WriteSequenced(r) : WriteOne(r); }

  // Waits until every block in flight is acknowledged, each with result 0.
  bool Drain() {
    while (!ring_.Empty()) {
      if (!WaitForOne()) return false;
    }
    return true;
  }

 private:
  bool WriteOne(const ImageRecord& r) {
    Context& ctx = link_.ctx;
    Packet& p = link_.packet;
    // Only a block of the largest size needs the 16-bit length field.
    const bool longBlock = r.length == kMaxBlock;
    const cmd::Command& c = longBlock ? cmd::kWriteFlashLong : cmd::kWriteFlashShort;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
      p.BeginCommand(link_.bootAddress, c.code);
      p.Append32(r.address);
      if (longBlock) {
        p.Append16(r.length);
      } else {
        p.Append8(static_cast<uint8_t>(r.length));
      }
      p.AppendBytes(r.data, r.length);
      p.SendPacket(link_.Port(), c.RequestLength(r.length));
      p.ReceiveReply(link_.Port(), c.ReplyLength());
      const bool header = p.ReplyHeaderIs(link_.bootAddress, c.replyCode);
      const uint32_t address = p.ReadField(4);
      const uint32_t length = p.ReadField(longBlock ? 2 : 1);
      const auto result = static_cast<uint8_t>(p.ReadField(1));
      if (p.CheckReply(link_.Port()) && header && address == r.address && length == r.length) {
        if (result == 0) return true;
        ctx.Detail() << "Error:" << Hex{result, 2} << "\r\n";
        return false;
      }
      FailedAttempt(ctx);
    }
    return false;
  }

  bool WriteSequenced(const ImageRecord& r) {
    if (!ring_.HasRoom() && !WaitForOne()) return false;
    Send(ring_.Push(r.address, r.data, r.length, sequence_));
    ++sequence_;
    return true;
  }

  void Send(const RingSlot& s) {
    Packet& p = link_.packet;
    const cmd::Command& c = cmd::kWriteFlashSequenced;
    p.BeginCommand(link_.bootAddress, c.code);
    p.Append16(s.sequence);
    p.Append32(s.address);
    p.Append8(static_cast<uint8_t>(s.length));
    p.AppendBytes(s.data, s.length);
    p.SendPacket(link_.Port(), c.RequestLength(static_cast<int>(s.length)));
  }

  // How many blocks a reply numbered `sequence` acknowledges: those from the
  // head's number up to its own. 0 for a number outside the blocks in flight (a
  // late reply from before a resend, or one left over from an earlier image).
  int Acknowledged(uint16_t sequence) {
    if (ring_.Empty()) return 0;
    const auto ahead = static_cast<uint16_t>(sequence - ring_.HeadSlot().sequence);
    return ahead < ring_.InFlight() ? ahead + 1 : 0;
  }

  bool WaitForOne() {
    Context& ctx = link_.ctx;
    Packet& p = link_.packet;
    const cmd::Command& c = cmd::kWriteFlashSequenced;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
      p.ReceiveReply(link_.Port(), c.ReplyLength());
      const bool header = p.ReplyHeaderIs(link_.bootAddress, c.replyCode);
      const auto sequence = static_cast<uint16_t>(p.ReadField(2));
      const uint32_t address = p.ReadField(4);
      p.ReadField(1);  // the length is not echoed reliably
      const auto result = static_cast<uint8_t>(p.ReadField(1));
      const bool intact = p.CheckReply(link_.Port());
      const int acknowledged = intact && header ? Acknowledged(sequence) : 0;
      if (acknowledged > 0) {
        for (int i = 0; i < acknowledged; ++i) ring_.Release();
        if (result == 0) return true;
        ctx.Notice() << "\r\nUnit reported hardware failure, cannot write to flash memory. Address=$"
                     << Hex{address, 8} << ", Result=" << Hex{result, 2} << "\r\n";
        return false;
      }
      if (!intact) {
        for (int i = ring_.Head(); i != ring_.Tail(); i = TransferRing::After(i)) Send(ring_.At(i));
      }
      FailedAttempt(ctx);
    }
    return false;
  }

  Link& link_;
  bool overlapped_;
  TransferRing ring_;
  uint16_t sequence_ = 0;
};

}  // namespace

bool WriteImage(Link& link, UnitInfo& info, ImageStream image, const FlashHook& hook) {
  Context& ctx = link.ctx;
  Packet& p = link.packet;
  ctx.settings.traceEnabled = false;
  ctx.Notice() << "Updating Corvanta software (do not turn off the power!)...\r\n";
  ctx.Detail() << "Writing to flash\r\n";

  FlashBlocks blocks(link, info.overlapped, FlashWindow(info.mcuType));
  const uint32_t start = ctx.clock.TickMs();
  const uint32_t sent = p.BytesSent();
  image.ReadStartAddress();
  const uint32_t total = image.ReadTotalLength();

  // The hook puts back what a write to the first page erased, so it runs once
  // the first page is written and acknowledged, before anything beyond it.
  bool hookArmed = false;
  bool hookDone = !hook;
  auto runHook = [&] {
    hookDone = true;
    return blocks.Drain() && hook();
  };
  uint32_t done = 0;
  ImageRecord r;
  while (image.NextRecord(r)) {
    if (hookArmed && !hookDone && r.address >= info.pageSize && !runHook()) return false;
    // The catalogue's build-time check keeps records within one block.
    if (r.length > kMaxBlock) return false;
    if (!blocks.Write(r)) return false;
    if (!hookDone && r.address < info.pageSize) hookArmed = true;
    done += r.length;
    p.ProgressMarks(done, total);
  }
  if (image.Broken()) return false;
  if (!blocks.Drain()) return false;
  // An image that ends inside the first page still needs what it erased back.
  if (hookArmed && !hookDone && !runHook()) return false;

  p.EndProgress();
  WriteTransferSummary(ctx.Detail(), "Bytes sent = ", p.BytesSent() - sent, ctx.clock.TickMs() - start);
  ctx.Detail() << "OK - Flash has been updated\r\n";
  ctx.settings.traceEnabled = true;
  RegSetMachineString(kSavedPortPath, std::to_string(ctx.settings.portNumber));
  return true;
}

bool WriteImage(Link& link, UnitInfo& info, ImageName image, const FlashHook& hook) {
  return WriteImage(link, info, OpenImage(image), hook);
}

}  // namespace corv
