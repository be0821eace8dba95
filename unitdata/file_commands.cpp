// The file commands, one exchange each with its own echo rules.
#include "unitdata/file_commands.h"

#include <string>
#include <string_view>

#include "link/commands.h"
#include "link/exchange.h"
#include "unitdata/unit_mode.h"

namespace corv {

namespace {

constexpr int kAttempts = 20;

[[noreturn]] void FatalStatus(Context& ctx, std::string_view lead, uint8_t status) {
  TextStream t;
  t << lead << Hex{status, 2};
  Fatal(ctx, t.Text());
}

// Open, create and close: file number out, status back. `lost` tells whether
// an earlier attempt went unanswered (the unit may have carried it out).
bool StatusCommand(Link& link, const cmd::Command& command, uint8_t file, uint8_t& status, bool& lost) {
  Exchange x(link, link.bootAddress, command);
  const bool ok = x.U8(file).Run(Tries{kAttempts}, [&](ReplyFields& f) {
    status = f.U8();
    return true;
  });
  lost = x.Attempts() > 1;
  return ok;
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
  // it closed, which the unit answers with a failure of its own choosing; the
  // file's attributes then say whether it holds what was sent.
  FileAttributes present;
  if (status != 0 && lost && written && GetUnitFileAttributes(link, file, present) && present == *written) {
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
  uint8_t status = 0;
  FileAttributes a;
  Exchange x(link, link.bootAddress, cmd::kGetFileAttributes);
  if (!x.U8(file).Run(Tries{kAttempts}, [&](ReplyFields& f) {
        status = f.U8();
        a = {f.U32(), f.U32(), f.U32(), f.U32(), f.U32()};
        return true;
      })) {
    return false;
  }
  ctx.Detail() << "OK - GetFileAttributes\r\n";
  if (status != 0) return false;
  attributes = a;
  return true;
}

Exchange FileBlockRequest(Link& link, uint8_t file, uint32_t offset, const uint8_t* data, uint8_t length) {
  Exchange x(link, link.bootAddress, cmd::kWriteFileBlock);
  x.U8(file).U32(offset).U8(length).Data(data, length);
  return x;
}

// The block exchanges wait for the reply to their own request. An intact reply
// that answers another request is a late one, to an earlier request that has
// been sent again since: the reply to this request is behind it, so the next
// attempt only reads. Sending again would leave one more reply behind, and
// every late reply would put each later block one reply further behind.
bool WriteFileBlock(Link& link, uint8_t file, uint32_t offset, const uint8_t* data, uint8_t length) {
  uint8_t status = 0;
  const Tries tries{.attempts = kAttempts, .marks = true, .readAfterLate = true};
  if (!FileBlockRequest(link, file, offset, data, length).Run(tries, [&](ReplyFields& f) {
        const uint32_t fileEcho = f.U8();
        const uint32_t o = f.U32();
        const uint32_t n = f.U8();
        status = f.U8();
        return fileEcho == file && o == offset && n == length;
      })) {
    return false;
  }
  if (status != 0) FatalStatus(link.ctx, "Error writing to file:", status);
  return true;
}

// Only an intact reply to this very request says what the drive holds; a
// byte damaged on the line is asked for again, not taken for a bad drive.
bool ReadFileBlock(Link& link, uint8_t file, uint32_t offset, const uint8_t* expected, uint8_t length) {
  uint8_t got[kDriveBlockSize];
  const Tries tries{.attempts = kAttempts, .marks = true, .readAfterLate = true};
  Exchange x(link, link.bootAddress, cmd::kReadFileBlock);
  if (!x.U8(file).U32(offset).U8(length).ReplyData(length).Run(tries, [&](ReplyFields& f) {
        const uint32_t fileEcho = f.U8();
        const uint32_t o = f.U32();
        const uint32_t n = f.U8();
        f.Bytes(got, length);
        return fileEcho == file && o == offset && n == length;
      })) {
    return false;
  }
  CompareReadBack(link.ctx, offset, got, expected, length);
  return true;
}

}  // namespace corv
