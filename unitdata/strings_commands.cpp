// The strings-area commands.
#include "unitdata/strings_commands.h"

#include "link/commands.h"
#include "link/exchange.h"
#include "unitdata/unit_mode.h"

namespace corv {

namespace {
constexpr int kAttempts = 20;
}

bool GetStringFileAttributes(Link& link, StringsAttributes& attributes) {
  Context& ctx = link.ctx;
  ctx.Detail() << "GetStringFileAttributes\r\n";
  StringsAttributes a;
  Exchange x(link, link.bootAddress, cmd::kGetStringsAttributes);
  if (!x.Run(Tries{kAttempts}, [&](ReplyFields& f) {
        a = {f.U8(), f.U32(), f.U32(), f.U16(), f.U16()};
        return true;
      })) {
    return false;
  }
  ctx.Detail() << "OK - GetStringFileAttributes:" << Hex{a.eepromStatus, 2} << "\r\n";
  attributes = a;
  return true;
}

Exchange StringBlockRequest(Link& link, uint32_t offset, const uint8_t* data, uint8_t length) {
  Exchange x(link, link.bootAddress, cmd::kWriteStringsBlock);
  x.U32(offset).U8(length).Data(data, length);
  return x;
}

bool WriteStringBlock(Link& link, uint32_t offset, const uint8_t* data, uint8_t length) {
  uint8_t status = 0;
  if (!StringBlockRequest(link, offset, data, length).Run(Tries{kAttempts, true}, [&](ReplyFields& f) {
        const uint32_t o = f.U32();
        const uint32_t n = f.U8();
        status = f.U8();
        return o == offset && n == length;
      })) {
    return false;
  }
  if (status != 0) {
    TextStream t;
    t << "Error writing to file:" << Hex{status, 2};
    Fatal(link.ctx, t.Text());
  }
  return true;
}

// Compared only once the frame is known to be intact and to answer this
// request: a byte damaged on the line is asked for again.
bool ReadStringBlock(Link& link, uint32_t offset, const uint8_t* expected, uint8_t length) {
  uint8_t got[kDriveBlockSize];
  Exchange x(link, link.bootAddress, cmd::kReadStringsBlock);
  if (!x.U32(offset).U8(length).ReplyData(length).Run(Tries{kAttempts, true}, [&](ReplyFields& f) {
        const uint32_t o = f.U32();
        const uint32_t n = f.U8();
        f.Bytes(got, length);
        return o == offset && n == length;
      })) {
    return false;
  }
  CompareReadBack(link.ctx, offset, got, expected, length);
  return true;
}

}  // namespace corv
