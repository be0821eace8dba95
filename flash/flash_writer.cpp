// Writing an image into flash. Block by block each block waits for its reply;
// overlapped, sequence-numbered blocks go out ahead up to the window and one
// reply acknowledges every block up to its own number. Only a reply that fails
// the frame check makes every block in flight go out again: a unit that lost
// one block answers the next ones with its last good number, so nothing else
// tells the program which blocks arrived.
#include "flash/flash_writer.h"

#include <string>

#include "flash/transfer_ring.h"
#include "link/commands.h"
#include "link/exchange.h"
#include "payloads/mcu_table.h"
#include "platform/registry_store.h"
#include "platform/system_error.h"

namespace corv {

namespace {

constexpr int kAttempts = 20;
constexpr uint32_t kMaxBlock = 129;

// Overlapped, one reply numbered n acknowledges every block from the head's
// number up to n; a number outside the blocks in flight is a late reply from
// before a resend, or one left over from an earlier image.
class SequencedPolicy : public AckPolicy {
 public:
  explicit SequencedPolicy(Link& link)
      : AckPolicy({.scheme = Scheme::Cumulative, .resendAll = true, .memory = "flash memory"}), link_(link) {}
  Exchange Request(const RingBlock& b) override {
    Exchange x(link_, link_.bootAddress, cmd::kWriteFlashSequenced);
    x.U16(b.sequence).U32(b.address).U8(static_cast<uint8_t>(b.length)).Data(b.data, b.length);
    return x;
  }
  void Read(ReplyFields& f, RingAck& a) override {
    a.sequence = f.U16();
    a.address = f.U32();
    f.U8();  // the length is not echoed reliably
    a.status = f.U8();
  }
  int Covers(const TransferRing& ring, const RingAck& a) override {
    if (ring.Empty()) return 0;
    const auto ahead = static_cast<uint16_t>(a.sequence - ring.Head().sequence);
    return ahead < ring.InFlight() ? ahead + 1 : 0;
  }

 private:
  Link& link_;
};

class FlashBlocks {
 public:
  FlashBlocks(Link& link, bool overlapped, int window)
      : link_(link), overlapped_(overlapped), policy_(link), ring_(link, policy_, window) {}

  bool Write(const ImageRecord& r) { return overlapped_ ? ring_.Write(r.address, r.data, r.length) : WriteOne(r); }

  // Waits until every block in flight is acknowledged, each with result 0.
  bool Drain() { return ring_.Drain(); }

 private:
  bool WriteOne(const ImageRecord& r) {
    // Only a block of the largest size needs the 16-bit length field.
    const bool longBlock = r.length == kMaxBlock;
    Exchange x(link_, link_.bootAddress, longBlock ? cmd::kWriteFlashLong : cmd::kWriteFlashShort);
    x.U32(r.address);
    if (longBlock) {
      x.U16(static_cast<uint16_t>(r.length));
    } else {
      x.U8(static_cast<uint8_t>(r.length));
    }
    uint8_t result = 0;
    if (!x.Data(r.data, r.length).Run(Tries{kAttempts, true}, [&](ReplyFields& f) {
          const uint32_t address = f.U32();
          const uint32_t length = longBlock ? f.U16() : f.U8();
          result = f.U8();
          return address == r.address && length == r.length;
        })) {
      return false;
    }
    if (result == 0) return true;
    link_.ctx.Detail() << "Error:" << Hex{result, 2} << "\r\n";
    return false;
  }

  Link& link_;
  bool overlapped_;
  SequencedPolicy policy_;
  TransferRing ring_;
};

}  // namespace

bool WriteImage(Link& link, UnitInfo& info, ImageStream image, const FlashHook& hook) {
  Context& ctx = link.ctx;
  Packet& p = link.packet;
  ctx.settings.traceEnabled = false;
  ctx.Notice() << "Updating Corvanta software (do not turn off the power!)...\r\n";
  ctx.Detail() << "Writing to flash\r\n";

  FlashBlocks blocks(link, info.overlapped, Mcu(info.mcuType).flashWindow);
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
  // A user without the rights to write the saved port is told once; the
  // flash stays updated. A network port named directly has no number to come
  // back to.
  if (ctx.settings.portName.empty()) {
    const int refused = RegSetMachineString(kSavedPortPath, std::to_string(ctx.settings.portNumber));
    if (refused != 0 && !ctx.settings.portSaveRefused) {
      ctx.settings.portSaveRefused = true;
      ctx.Detail() << "Cannot save the port in the registry value HKEY_LOCAL_MACHINE\\" << kSavedPortPath << "\r\n"
                   << SystemErrorText(refused) << "\r\n";
    }
  }
  return true;
}

bool WriteImage(Link& link, UnitInfo& info, ImageName image, const FlashHook& hook) {
  return WriteImage(link, info, OpenImage(image), hook);
}

}  // namespace corv
