// The questions and notices of an update, on the console.
#include "run/update_questions.h"

#include "flash/unit_tables.h"

namespace corv {

namespace {

// A decimal number typed on the console: blanks and tabs skipped, an optional
// "-", digits up to the first other key (taken). Typed characters are echoed.
// False when the input ended before an answer was complete.
bool ReadTypedDecimal(Context& ctx, int32_t& value) {
  auto key = [&ctx] {
    const int k = ctx.console.ReadKey();
    if (k >= 32 && k < 127) {
      ctx.Plain() << static_cast<char>(k);
      ctx.console.Flush();
    }
    return k;
  };
  int k = key();
  while (k == ' ' || k == '\t') k = key();
  bool negative = false;
  if (k == '-') {
    negative = true;
    k = key();
  }
  int64_t v = 0;
  bool digits = false;
  while (k >= '0' && k <= '9') {
    digits = true;
    if (v < 100000000000) v = v * 10 + (k - '0');
    k = key();
  }
  value = static_cast<int32_t>(negative ? -v : v);
  // An answer ended by the end of the input still counts when it was typed.
  return k >= 0 || digits;
}

}  // namespace

void SettleUnitType(Context& ctx, UnitInfo& info) {
  while (info.cardFamily != kFamilyDisplay && info.cardFamily != kFamilyTransmitter) {
    ctx.Plain() << "Please enter corvanta unit type (1=Display, 2=Transmitter, 3=DisplayM01" << "): ";
    ctx.console.Flush();
    int32_t answer = 0;
    const bool answered = ReadTypedDecimal(ctx, answer);
    ctx.Plain() << "\r\n";
    if (answer == kFamilyDisplay || answer == kFamilyTransmitter) {
      info.cardFamily = static_cast<uint8_t>(answer);
    } else if (!answered) {
      // Nobody is left to answer: asking again would never end.
      ExitRun(ctx, 1);
    }
  }
}

void PModuleNotice(Context& ctx, const UnitVersions& versions, const UnitInfo& info) {
  if (info.cardFamily != kFamilyTransmitter) return;
  OutStream& c = ctx.Plain();
  switch (info.pModuleType) {
    case 1:
      Fatal(ctx,
            "This Corvanta unit cannot be upgraded as it contains an FCHIP, please contact your supplier for "
            "updating to a PMODULE");
    case 2:
      c << "This Corvanta unit contains a BLUE PMODULE\r\n";
      break;
    case 3:
      c << "This Corvanta unit contains a YELLOW PMODULE\r\n";
      break;
    default:
      if (versions.circuitCode >= 5) {
        c << "This Corvanta unit contains a YELLOW PMODULE\r\n";
      } else {
        c << "Unable to determine whether this Corvanta unit contains an FCHIP or a PMODULE\r\n"
          << "\r\n"
          << "IMPORTANT NOTICE: After this software update has completed the unit will only\r\n"
          << "operate with a PMODULE. The unit will not operate if it is fitted with an FCHIP\r\n"
          << "Do not continue with this software update if the unit is fitted with an FCHIP\r\n";
      }
      break;
  }
  ctx.console.Flush();
}

bool AskYesNo(Context& ctx, std::string_view question) {
  ctx.Plain() << question;
  ctx.console.Flush();
  const int key = ctx.console.ReadKey();
  ctx.Plain() << "\r\n";
  ctx.console.Flush();
  return key == 'Y' || key == 'y';
}

void ConfirmUpgrade(Context& ctx) {
  if (!AskYesNo(ctx, "Do you wish to upgrade this Corvanta unit? (y/n)")) ExitRun(ctx, 1);
}

void ConfirmSerialReplacement(Context& ctx, uint32_t unitSerial) {
  TextStream q;
  q << "The unit already has serial number " << std::to_string(unitSerial)
    << ", are you sure it should be replaced? (y/n)";
  if (!AskYesNo(ctx, q.Text())) ExitRun(ctx, 1);
}

}  // namespace corv
