// The update-file procedure: up-to-date test, create, write, close, read-back.
#include "unitdata/unit_files.h"

#include "payloads/mcu_table.h"
#include "unitdata/file_attributes.h"
#include "unitdata/file_commands.h"
#include "unitdata/file_writer.h"
#include "unitdata/unit_mode.h"

namespace corv {

namespace {

bool WriteBlocks(Link& link, const UnitInfo& info, uint8_t file, const uint8_t* data, uint32_t length) {
  Context& ctx = link.ctx;
  Packet& p = link.packet;
  QuietTransfer quiet(ctx);
  const uint32_t startMs = ctx.clock.TickMs();
  const uint32_t startBytes = p.BytesSent();
  FileBlockWriter writer(link, file, info.overlapped ? Mcu(info.mcuType).driveWindow : 0);
  for (uint32_t offset = 0; offset < length; offset += kDriveBlockSize) {
    if (!writer.Write(offset, data + offset, DriveBlockLength(offset, length))) return false;
    p.ProgressMarks(offset + DriveBlockLength(offset, length), length);
  }
  if (!writer.Flush()) return false;
  p.EndProgress();
  WriteTransferSummary(ctx.Detail(), "Bytes sent = ", p.BytesSent() - startBytes, ctx.clock.TickMs() - startMs);
  return true;
}

}  // namespace

bool UpdateUnitFile(Link& link, const UnitInfo& info, uint8_t file, const uint8_t* data, uint32_t length) {
  Context& ctx = link.ctx;
  RequireFlashProgrammer(link);

  const FileAttributes wanted = ComputeFileAttributes(data, length, info.mcuType);
  FileAttributes present;
  if (GetUnitFileAttributes(link, file, present) && present == wanted) {
    ctx.Notice() << "-- Corvanta file is up to date\r\n";
    return true;
  }

  ctx.Notice() << "Updating Corvanta file...\r\n";
  if (!CreateUnitFile(link, file)) return false;
  if (!WriteBlocks(link, info, file, data, length)) return false;
  if (!CloseFile(link, file, wanted)) return false;
  ctx.Detail() << "OK - file has been updated\r\n";

  if (!ctx.settings.verifyOn) return true;
  ctx.Notice() << "Verifying new files...\r\n";
  if (!OpenFile(link, file)) return false;
  const auto block = [&](uint32_t offset, uint8_t n) { return ReadFileBlock(link, file, offset, data + offset, n); };
  if (!ReadBackInBlocks(link, length, block)) return false;
  if (!CloseFile(link, file, wanted)) return false;
  ctx.Detail() << "OK - file has been verified\r\n";
  return true;
}

}  // namespace corv
