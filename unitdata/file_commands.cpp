// The file commands, one exchange each with its own echo rules.
#include "unitdata/file_commands.h"

#include <string>
#include <string_view>

#include "link/commands.h"
#include "unitdata/drive_ring.h"
#include "unitdata/unit_mode.h"

namespace corv {

namespace {

constexpr int kAttempts = 20;
constexpr uint8_t kNotOpen = 1;  // the close of a file that is not open

[[noreturn]] void FatalStatus(Context& ctx, std::string_view lead, uint8_t status) {
  TextStream t;
  t << lead << Hex{status, 2};
  Fatal(ctx, t.Text());
}

// Open, create and close: file number out, status back. `lost` tells whether
// an earlier attempt went unanswered (the unit may have carried it out).
bool StatusCommand(Link& link, const cmd::Command& command, uint8_t file, uint8_t& status, bool& lost) {
  Packet& p = link.packet;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    lost = attempt > 0;
    p.BeginCommand(link.bootAddress, command.code);
    p.Append8(file);
    p.SendPacket(link.Port(), command.request);
    p.ReceiveReply(link.Port(), command.reply);
    const bool header = p.ReplyHeaderIs(link.bootAddress, command.replyCode);
    const uint8_t s = static_cast<uint8_t>(p.ReadField(1));
    if (p.CheckReply(link.Port()) && header) {
      status = s;
      return true;
    }
  }
  return false;
}

// `written`: for a close, what the file holds when it was written whole.
bool FileStep(Link& link, const cmd::Command& command, uint8_t file, std::string_view name, std::string_view ok,
              std::string_view failure, const FileAttributes* written = nullptr) {
  Context& ctx = link.ctx;
  ctx.Detail() << name << Hex{file, 2} << "\r\n";
  uint8_t status = 0;
  bool lost = false;
  if (!StatusCommand(link, command, file, status, lost)) return false;
  // A close whose reply was lost closed the file, and its resent request finds
  // it closed; the file's attributes then say whether it holds what was sent.
  FileAttributes present;
  if (status == kNotOpen && lost && written && GetUnitFileAttributes(link, file, present) && present == *written) {
    status = 0;
  }
  if (status != 0) FatalStatus(ctx, failure, status);
  ctx.Detail() << ok << "\r\n";
  return true;
}

}  // namespace

bool OpenFile(Link& link, uint8_t file) {
  return FileStep(link, cmd::kOpenFile, file, "OpenFile:", "OK - OpenFile", "Error opening file:");
}

bool CreateUnitFile(Link& link, uint8_t file) {
  return FileStep(link, cmd::kCreateFile, file, "CreateFile:", "OK - Createfile", "Error creating file:");
}

bool CloseFile(Link& link, uint8_t file, const FileAttributes& written) {
  return FileStep(link, cmd::kCloseFile, file, "CloseFile:", "OK - CloseFile", "Error closing file:", &written);
}

bool GetUnitFileAttributes(Link& link, uint8_t file, FileAttributes& attributes) {
  Context& ctx = link.ctx;
  ctx.Detail() << "GetFileAttributes:" << Hex{file, 2} << "\r\n";
  Packet& p = link.packet;
  const cmd::Command& c = cmd::kGetFileAttributes;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    p.BeginCommand(link.bootAddress, c.code);
    p.Append8(file);
    p.SendPacket(link.Port(), c.request);
    p.ReceiveReply(link.Port(), c.reply);
    const bool header = p.ReplyHeaderIs(link.bootAddress, c.replyCode);
    const uint8_t status = static_cast<uint8_t>(p.ReadField(1));
    FileAttributes a;
    a.size = p.ReadField(4);
    a.evenSum = p.ReadField(4);
    a.oddSum = p.ReadField(4);
    a.evenXor = p.ReadField(4);
    a.oddXor = p.ReadField(4);
    if (p.CheckReply(link.Port()) && header) {
      ctx.Detail() << "OK - GetFileAttributes\r\n";
      if (status != 0) return false;
      attributes = a;
      return true;
    }
  }
  return false;
}

void SendFileBlock(Link& link, uint8_t file, uint32_t offset, const uint8_t* data, uint8_t length) {
  Packet& p = link.packet;
  p.BeginCommand(link.bootAddress, cmd::kWriteFileBlock.code);
  p.Append8(file);
  p.Append32(offset);
  p.Append8(length);
  p.AppendBytes(data, length);
  p.SendPacket(link.Port(), cmd::kWriteFileBlock.RequestLength(length));
}

// The block exchanges wait for the reply to their own request. An intact reply
// that answers another request is a late one, to an earlier request that has
// been sent again since: the reply to this request is behind it, so the next
// attempt only reads. Sending again would leave one more reply behind, and
// every late reply would put each later block one reply further behind.
bool WriteFileBlock(Link& link, uint8_t file, uint32_t offset, const uint8_t* data, uint8_t length) {
  Packet& p = link.packet;
  const cmd::Command& c = cmd::kWriteFileBlock;
  bool send = true;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (send) SendFileBlock(link, file, offset, data, length);
    p.ReceiveReply(link.Port(), c.reply);
    const bool header = p.ReplyHeaderIs(link.bootAddress, c.replyCode);
    const uint32_t f = p.ReadField(1);
    const uint32_t o = p.ReadField(4);
    const uint32_t n = p.ReadField(1);
    const uint8_t status = static_cast<uint8_t>(p.ReadField(1));
    const bool intact = p.CheckReply(link.Port());
    if (intact && header && f == file && o == offset && n == length) {
      if (status != 0) FatalStatus(link.ctx, "Error writing to file:", status);
      return true;
    }
    link.ctx.Detail() << "!";
    send = !intact;
  }
  return false;
}

bool ReadFileBlock(Link& link, uint8_t file, uint32_t offset, const uint8_t* expected, uint8_t length) {
  Packet& p = link.packet;
  const cmd::Command& c = cmd::kReadFileBlock;
  uint8_t got[kDriveBlockSize];
  bool send = true;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (send) {
      p.BeginCommand(link.bootAddress, c.code);
      p.Append8(file);
      p.Append32(offset);
      p.Append8(length);
      p.SendPacket(link.Port(), c.request);
    }
    p.ReceiveReply(link.Port(), c.ReplyLength(length));
    const bool header = p.ReplyHeaderIs(link.bootAddress, c.replyCode);
    const uint32_t f = p.ReadField(1);
    const uint32_t o = p.ReadField(4);
    const uint32_t n = p.ReadField(1);
    for (uint8_t i = 0; i < length; ++i) got[i] = p.NextReplyByte();
    // Only an intact reply to this very request says what the drive holds; a
    // byte damaged on the line is asked for again, not taken for a bad drive.
    const bool intact = p.CheckReply(link.Port());
    if (intact && header && f == file && o == offset && n == length) {
      CompareReadBack(link.ctx, offset, got, expected, length);
      return true;
    }
    link.ctx.Detail() << "!";
    send = !intact;
  }
  return false;
}

}  // namespace corv
