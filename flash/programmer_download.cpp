// The programmer download: each image record becomes one write-RAM block. Block
// by block every block waits for its reply; overlapped, up to the window's
// blocks are sent ahead and their replies, matched by address, are collected
// as the ring fills.
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

void SendWriteRam(Link& link, uint32_t address, const uint8_t* data, uint32_t length) {
  WriteRam(link, address, data, length).Send();
}

// Reads one write-RAM reply; true when it is intact and from the boot address.
bool ReadWriteRamReply(Link& link, uint32_t& address, uint32_t& length) {
  const Exchange::Received r = Exchange(link, link.bootAddress, cmd::kWriteRam).Receive([&](ReplyFields& f) {
    address = f.U32();
    length = f.U8();
    return true;
  });
  return r.intact && r.header;
}

bool WriteRamBlock(Link& link, const ImageRecord& r) {
  return WriteRam(link, r.address, r.data, r.length).Run(Tries{kAttempts, true}, [&](ReplyFields& f) {
    const uint32_t address = f.U32();
    const uint32_t length = f.U8();
    return address == r.address && length == r.length;
  });
}

class OverlappedRam {
 public:
  OverlappedRam(Link& link, int window) : link_(link), ring_(window) {}

  bool Write(const ImageRecord& r) {
    if (!ring_.HasRoom() && !WaitForOne()) return false;
    SendWriteRam(link_, r.address, r.data, r.length);
    ring_.Push(r.address, r.data, r.length, 0);
    return true;
  }

  bool Drain() {
    while (!ring_.Empty()) {
      if (!WaitForOne()) return false;
    }
    return true;
  }

 private:
  // Frees the head slot once its reply has come. A reply for a later block
  // marks that block; a reply that is not intact sends the head block again.
  bool WaitForOne() {
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
      RingSlot& head = ring_.HeadSlot();
      if (head.acknowledged) return Finish();
      uint32_t address = 0, length = 0;
      if (ReadWriteRamReply(link_, address, length)) {
        if (address == head.address && length == head.length) return Finish();
        for (int i = ring_.Head(); i != ring_.Tail(); i = TransferRing::After(i)) {
          RingSlot& s = ring_.At(i);
          if (!s.acknowledged && s.address == address && s.length == length) {
            s.acknowledged = true;
            break;
          }
        }
      } else {
        SendWriteRam(link_, head.address, head.data, head.length);
      }
      link_.ctx.Detail() << "!";
    }
    return false;
  }

  bool Finish() {
    ring_.Release();
    return true;
  }

  Link& link_;
  TransferRing ring_;
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
  OverlappedRam ring(link, mcu.downloadWindow);
  uint32_t done = 0;
  ImageRecord r;
  while (image.NextRecord(r)) {
    // The catalogue's build-time check keeps records within one block.
    if (r.length > kMaxBlock) return false;
    if (!(overlapped ? ring.Write(r) : WriteRamBlock(link, r))) return false;
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
