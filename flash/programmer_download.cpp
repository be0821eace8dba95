// The programmer download: each image record becomes one write-RAM block. Block
// by block every block waits for its reply; overlapped, the transfer ring sends
// up to the window's blocks ahead and matches their replies by address.
#include "flash/programmer_download.h"

#include "flash/boot_commands.h"
#include "flash/transfer_ring.h"
#include "link/commands.h"
#include "link/exchange.h"
#include "payloads/mcu_table.h"

namespace corv {

namespace {

constexpr int kAttempts = 20;
constexpr uint32_t kMaxBlock = 129;

// 0x1020: one block into RAM; its reply echoes address and length.
Exchange WriteRam(Link& link, uint32_t address, const uint8_t* data, uint32_t length) {
  Exchange x(link, link.bootAddress, cmd::kWriteRam);
  x.U32(address).U8(static_cast<uint8_t>(length)).Data(data, length);
  return x;
}

bool WriteRamBlock(Link& link, const ImageRecord& r) {
  return WriteRam(link, r.address, r.data, r.length).Run(Tries{kAttempts, true}, [&](ReplyFields& f) {
    const uint32_t address = f.U32();
    const uint32_t length = f.U8();
    return address == r.address && length == r.length;
  });
}

// Overlapped, each reply names its block by address and length; a reply for a
// later block marks that block, and a reply that is not intact or not from the
// boot address sends the head block again.
class RamPolicy : public AckPolicy {
 public:
  explicit RamPolicy(Link& link)
      : AckPolicy({.scheme = Scheme::Selective, .resendOnForeign = true, .memory = "RAM"}), link_(link) {}
  Exchange Request(const RingBlock& b) override { return WriteRam(link_, b.address, b.data, b.length); }
  void Read(ReplyFields& f, RingAck& a) override {
    a.address = f.U32();
    a.length = f.U8();
  }
  bool Answers(const RingBlock& b, const RingAck& a) override { return a.address == b.address && a.length == b.length; }

 private:
  Link& link_;
};

// 0x1021: reads one record's block back and compares it; a block that
// differs is asked for again.
bool ExamineRecord(Link& link, const ImageRecord& r) {
  Context& ctx = link.ctx;
  uint8_t got[kMaxBlock];
  Exchange x(link, link.bootAddress, cmd::kExamineRam);
  x.U32(r.address).U8(static_cast<uint8_t>(r.length)).ReplyData(static_cast<int>(r.length));
  const auto echoes = [&](ReplyFields& f) {
    const uint32_t address = f.U32();
    const uint32_t length = f.U8();
    f.Bytes(got, r.length);
    return address == r.address && length == r.length;
  };
  const auto same = [&] {
    bool same = true;
    for (uint32_t i = 0; i < r.length; ++i) {
      if (got[i] == r.data[i]) continue;
      same = false;
      ctx.Detail() << "Examine returned different data at " << Hex{r.address + i, 8} << " got " << Hex{got[i], 2}
                   << " instead of " << Hex{r.data[i], 2} << "\r\n";
      ctx.Notice() << "Verify error\r\n";
    }
    return same;
  };
  return x.Run(Tries{kAttempts, true}, echoes, same);
}

bool Verify(Link& link, ImageStream image) {
  Context& ctx = link.ctx;
  Packet& p = link.packet;
  ctx.Notice() << "Verifying programmer...\r\n";
  image.ReadStartAddress();
  const uint32_t total = image.ReadTotalLength();
  const uint32_t start = ctx.clock.TickMs();
  const uint32_t received = p.BytesReceived();
  uint32_t done = 0;
  ImageRecord r;
  while (image.NextRecord(r)) {
    if (r.length > kMaxBlock || !ExamineRecord(link, r)) return false;
    done += r.length;
    p.ProgressMarks(done, total);
  }
  if (image.Broken()) return false;
  p.EndProgress();
  WriteTransferSummary(ctx.Detail(), "Bytes received = ", p.BytesReceived() - received, ctx.clock.TickMs() - start);
  ctx.Detail() << "OK - checked RAM program\r\n";
  return true;
}

}  // namespace

bool DownloadProgrammer(Link& link, UnitInfo& info, ImageStream image) {
  Context& ctx = link.ctx;
  Packet& p = link.packet;
  ctx.Notice() << "Downloading programmer...\r\n";
  ctx.Detail() << "Downloading to RAM\r\n";
  const McuRow& mcu = Mcu(info.mcuType);
  // The boot loaders of LPC chips raise CTS themselves; the others only once
  // the programmer runs (below).
  if (info.overlapped && mcu.lpc) WaitForCts(link, info);
  if (!StepUpBaudRate(link, info)) Fatal(ctx, "Unable to change baud rate");

  const ImageStream again = image;
  const uint32_t entry = image.ReadStartAddress();
  const uint32_t total = image.ReadTotalLength();
  ctx.settings.traceEnabled = false;
  const uint32_t start = ctx.clock.TickMs();
  const uint32_t sent = p.BytesSent();

  const bool overlapped = info.overlapped;
  RamPolicy policy(link);
  TransferRing ring(link, policy, mcu.downloadWindow);
  uint32_t done = 0;
  ImageRecord r;
  while (image.NextRecord(r)) {
    // The catalogue's build-time check keeps records within one block.
    if (r.length > kMaxBlock) return false;
    if (!(overlapped ? ring.Write(r.address, r.data, r.length) : WriteRamBlock(link, r))) return false;
    done += r.length;
    p.ProgressMarks(done, total);
  }
  if (image.Broken()) return false;
  if (overlapped && !ring.Drain()) return false;
  p.EndProgress();
  WriteTransferSummary(ctx.Detail(), "Bytes sent = ", p.BytesSent() - sent, ctx.clock.TickMs() - start);
  ctx.Detail() << "OK - downloaded programmer\r\n";

  // A boot loader of version 1 cannot read its RAM back.
  if (ctx.settings.verifyOn && info.bootVersion != 1 && !Verify(link, again)) return false;

  ctx.settings.traceEnabled = true;
  RunRamProgram(link, entry);
  link.softwareMode = modeFlashProgrammer;
  if (info.overlapped && !mcu.lpc) WaitForCts(link, info);
  // Some programmers start at their own rate whatever the boot loader ran at.
  if (mcu.programmerStartRate != 0 && !StepUpBaudRate(link, info)) Fatal(ctx, "Unable to change baud rate");
  return true;
}

bool DownloadProgrammer(Link& link, UnitInfo& info, ImageName programmer) {
  return DownloadProgrammer(link, info, OpenImage(programmer));
}

}  // namespace corv
