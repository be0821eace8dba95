// The versions block, the card-number test, the extended information and the
// information text, and the printed unit-information blocks.
#include "flash/interrogation.h"

#include <string>

#include "flash/unit_tables.h"
#include "link/commands.h"
#include "link/exchange.h"

namespace corv {

namespace {

// The layout the unit announces in its extended information: the bytes from
// the first mask to the text length.
constexpr uint8_t kExtendedRecordLength = 24;

// 0x1015: the record, 2 attempts; its fields go into `info` once the reply is
// accepted. A record of another layout is refused: a longer one's extra bytes
// are read past the reply, so the check fails on its size.
bool RequestExtendedRecord(Link& link, UnitInfo& info) {
  UnitInfo r = info;
  Exchange x(link, link.unitId, cmd::kExtendedInformation);
  const bool ok = x.Run(Tries{2}, [&](ReplyFields& f) {
    const uint8_t length = f.U8();
    r.infoTextFlag = f.U8();
    r.maskFt = f.U16();
    r.maskRt = f.U16();
    r.maskNew = f.U16();
    r.serialNumber = f.U32();
    r.pModuleType = f.U8();
    r.pModuleSerial = f.U32();
    r.pModuleLastVersion = f.U16();
    f.Bytes(r.buildTime, sizeof r.buildTime);
    r.infoTextLength = f.U8();
    for (int i = kExtendedRecordLength; i < length; ++i) f.U8();
    return length == kExtendedRecordLength;
  });
  if (ok) info = r;
  return ok;
}

// 0x1016: the text of the announced length, 20 attempts; control characters
// become ':'.
bool RequestInformationText(Link& link, uint8_t textLength, std::string& text) {
  Exchange x(link, link.unitId, cmd::kInformationText);
  return x.ReplyData(textLength).Run(Tries{20}, [&](ReplyFields& f) {
    text.clear();
    for (int i = 0; i < textLength; ++i) {
      const uint8_t b = f.U8();
      text.push_back(b < 32 ? ':' : static_cast<char>(b));
    }
    return true;
  });
}

}  // namespace

void PrintVersionsBlock(Context& ctx, const UnitVersions& v) {
  OutStream& s = ctx.Report();
  s << "Corvanta Info:\r\n";
  s << "  Card:         " << Dec{v.cardNumber} << "\r\n";
  s << "  Circuit code: " << Dec{v.circuitCode} << "\r\n";
  s << "  Software:     v" << VersionText(v.softwareVersion) << "\r\n";
  s << "  Product:      CV" << Dec{v.productNumber} << "\r\n";
}

void VersionsRead(Link& link, UnitInfo& info) {
  PrintVersionsBlock(link.ctx, link.versions);
  info.cardFamily = CardFamily(link.versions.cardNumber);
  if (info.cardFamily == 0) Fatal(link.ctx, "Unsupported Card Number");
}

void InstallVersionsHook(Link& link, UnitInfo& info) {
  link.versionsRead = [&link, &info] { VersionsRead(link, info); };
}

bool ReadExtendedInformation(Link& link, UnitInfo& info) {
  Context& ctx = link.ctx;
  ctx.Detail() << "Requesting extended information\r\n";
  if (!RequestExtendedRecord(link, info)) return false;
  info.extendedRead = true;
  info.informationText.clear();
  ctx.Detail() << "OK - got extended information\r\n";
  if (info.infoTextFlag != 1) return true;

  ctx.Detail() << "Requesting information text\r\n";
  std::string text;
  if (!RequestInformationText(link, info.infoTextLength, text)) return false;
  info.informationText = text;
  ctx.Detail() << "OK - got information text\r\n";
  PrintExtendedInformation(ctx, link.versions, info);
  return true;
}

void PrintExtendedInformation(Context& ctx, const UnitVersions& v, const UnitInfo& info) {
  OutStream& s = ctx.Report();
  s << "  Masks:        ft$" << Hex{info.maskFt, 4} << "  rt$" << Hex{info.maskRt, 4} << "  new$"
    << Hex{info.maskNew, 4} << "\r\n";
  s << "Unit details:\r\n";
  s << "  Serial No:    " << std::to_string(info.serialNumber) << "\r\n";
  if (info.pModuleType != 0) {
    s << "  P-Module:     CV" << Dec{v.productNumber} << "-T" << Dec{info.pModuleType} << " S/N "
      << std::to_string(info.pModuleSerial) << " - last used with v" << VersionText(info.pModuleLastVersion)
      << "\r\n";
  }
  const uint8_t* t = info.buildTime;
  s << "  Build time:   20" << Dec{t[0], 2} << "-" << Dec{t[1], 2} << "-" << Dec{t[2], 2} << " " << Dec{t[3], 2}
    << ":" << Dec{t[4], 2} << ":" << Dec{t[5], 2} << "\r\n";
  if (info.infoTextFlag == 1 && !info.informationText.empty()) {
    s << "  Information:  " << info.informationText << "\r\n";
  }
}

void PrintBootLoaderBlock(Context& ctx, const UnitInfo& info) {
  OutStream& s = ctx.Report();
  const bool release = info.bootRelease > 3;
  s << "  Boot loader:  v" << Dec{info.bootVersion};
  if (release) s << " r" << Dec{info.bootRelease};
  s << "\r\n";
  s << "  MCU Type:     " << Dec{info.mcuType} << "\r\n";
  if (!release) return;
  s << "  Checksum:     " << Hex{info.checksum, 8} << "\r\n";
  const uint8_t f = info.bootFlags;
  if (f & 0x01) {
    s << "                There is no Corvanta software in the unit\r\n";
  } else if ((f & 0x02) == 0) {
    s << "                The Flash test is disabled\r\n";
  }
  if (f & 0x04) {
    s << "\r\nWARNING: Flash test failed\r\n";
  } else if (f & 0x08) {
    s << "\r\nWARNING: The unit has a hardware fault: RAM test failed\r\n";
  }
  if (f & 0x80) s << "                Test software present (pre-production board)\r\n";
}

void SelectProgrammers(Link& link, UnitInfo& info) {
  const ProgrammerChoice c = ChooseProgrammers(info.mcuType, info.bootVersion, info.cardFamily);
  switch (c.verdict) {
    case ProgrammerVerdict::UnsupportedBootLoader:
      Fatal(link.ctx, "CorvUpdater cannot update this unit: unsupported boot loader version");
    case ProgrammerVerdict::IncompatibleCpu:
      Fatal(link.ctx, "CorvUpdater cannot update this unit: the software is not compatible with this CPU type");
    case ProgrammerVerdict::Selected:
      break;
  }
  info.flashProgrammer = c.flash;
  info.stringsProgrammer = c.strings;
  // A missing CTS earlier in the run switched overlapped mode off for good.
  info.overlapped = link.ctx.settings.overlappedRequested && !info.overlappedLatchedOff;
}

}  // namespace corv
