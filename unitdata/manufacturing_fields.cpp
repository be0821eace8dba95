// Manufacturing input from the parameter file and the check, update and
// preserve commands.
#include "unitdata/manufacturing_fields.h"

#include <string>
#include <string_view>

#include "link/commands.h"
#include "link/exchange.h"
#include "support/ini.h"
#include "unitdata/unit_mode.h"

namespace corv {

namespace {

constexpr int kAttempts = 20;

struct FieldKey {
  const char* key;
  int offset;
  int bytes;
};
constexpr FieldKey kFieldKeys[] = {
    {"EncryptedSerialNo", 0, 4},
    {"EncryptedSerialNoCRC", 4, 2},
    {"EncryptedSecretKeys", 6, 32},
    {"EncryptedSecretKeysCRC", 38, 2},
};

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

[[noreturn]] void FatalWithKey(Context& ctx, std::string_view lead, std::string_view key) {
  std::string message(lead);
  message += key;
  Fatal(ctx, message);
}

// One exchange whose reply is the header and an 8-bit result code, 20
// attempts. True with `result` set on a valid reply.
bool ResultExchange(Exchange& x, uint8_t& result) {
  return x.Run(Tries{kAttempts}, [&](ReplyFields& f) {
    result = f.U8();
    return true;
  });
}

// The hex pairs of one field: each pair of characters is a byte, and a
// character that is not a hex digit ends that pair's number early ("0G" is 0),
// unlike the general hex reader. `text` holds at least 2 * n characters.
void ReadFieldPairs(const char* text, uint8_t* out, int n) {
  for (int i = 0; i < n; ++i) {
    int value = 0;
    for (int j = 0; j < 2; ++j) {
      const int digit = HexValue(text[2 * i + j]);
      if (digit < 0) break;
      value = value * 16 + digit;
    }
    out[i] = static_cast<uint8_t>(value);
  }
}

}  // namespace

ManufacturingInput ReadManufacturingInput(Context& ctx) {
  ManufacturingInput input;
  const std::string& file = ctx.settings.parameterFile;
  for (const FieldKey& f : kFieldKeys) {
    const std::string text = ReadIniString(ctx, file, f.key);
    if (text.empty()) FatalWithKey(ctx, "Missing ", f.key);
    if (text.size() < static_cast<size_t>(2 * f.bytes)) FatalWithKey(ctx, "Field error: ", f.key);
    ReadFieldPairs(text.c_str(), input.record.data() + f.offset, f.bytes);
  }
  input.serialNumber = ReadIniInt(ctx, file, "SerialNo");
  if (input.serialNumber == 0) Fatal(ctx, "Missing SerialNo");
  ctx.Notice() << "SerialNo=" << Dec{input.serialNumber} << "\r\n";
  return input;
}

bool CheckManufacturingFields(Link& link, const ManufacturingRecord& record, bool& differs) {
  Context& ctx = link.ctx;
  ctx.Detail() << "Checking manufacturing fields\r\n";
  RequireCorvantaSoftware(link);
  uint8_t code = 0;
  if (!ResultExchange(Exchange(link, link.unitId, cmd::kCheckManufacturingFields).Data(record.data(), record.size()),
                     code)) {
    return false;
  }
  differs = code != 0;
  if (code == 0) {
    ctx.Notice() << "-- manufacturing fields in unit are correct (no update needed)\r\n";
  } else {
    ctx.Notice() << "-- manufacturing fields in unit are different (code=" << Dec{code} << ")\r\n";
  }
  ctx.Detail() << "OK - manufacturing fields have been checked\r\n";
  return true;
}

bool UpdateManufacturingFields(Link& link, const ManufacturingRecord& record) {
  Context& ctx = link.ctx;
  ctx.Notice() << "Updating manufacturing fields...\r\n";
  ctx.Detail() << "Updating manufacturing fields\r\n";
  RequireFlashProgrammer(link);
  uint8_t code = 0;
  if (!ResultExchange(
          Exchange(link, link.bootAddress, cmd::kUpdateManufacturingFields).Data(record.data(), record.size()), code)) {
    return false;
  }
  switch (code) {
    case 0: ctx.Notice() << "-- manufacturing fields have been updated\r\n"; break;
    case 1: ctx.Notice() << "-- could not update manufacturing fields (main)\r\n"; break;
    case 2: ctx.Notice() << "-- could not update manufacturing fields (secondary)\r\n"; break;
    default:
      ctx.Notice() << "-- manufacturing fields could not be updated in flash (code=" << Dec{code} << ")\r\n";
  }
  // The unit keeps a main and a secondary copy; its code is reported and the
  // run goes on whatever it says.
  ctx.Detail() << "OK - manufacturing fields have been updated\r\n";
  return true;
}

bool PreserveManufacturingFields(Link& link, int32_t serialNumber) {
  Context& ctx = link.ctx;
  ctx.Detail() << "Preserving manufacturing fields\r\n";
  RequireFlashProgrammer(link);
  uint8_t code = 0;
  if (!ResultExchange(
          Exchange(link, link.bootAddress, cmd::kPreserveManufacturingFields).U32(static_cast<uint32_t>(serialNumber)),
          code)) {
    return false;
  }
  switch (code) {
    case 0: ctx.Notice() << "-- manufacturing fields are valid\r\n"; break;
    case 1: ctx.Notice() << "-- legacy manufacturing fields found\r\n"; break;
    case 2: ctx.Notice() << "-- manufacturing fields updated in flash\r\n"; break;
    default:
      ctx.Notice() << "-- manufacturing fields could not be updated in flash (code=" << Dec{code} << ")\r\n";
  }
  ctx.Detail() << "OK - manufacturing fields have been preserved\r\n";
  return true;
}

}  // namespace corv
