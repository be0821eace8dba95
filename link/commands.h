// The command table of the unit link: every function byte and command code the
// program sends, with the lengths callers pass to SendPacket and ReceiveReply
// (the whole frame without its check, the header included). Commands that carry
// a data block have a fixed part; RequestLength/ReplyLength add the block.
#pragma once
#include <cstdint>

namespace corv::cmd {

// Function bytes (frame offset 1).
inline constexpr uint8_t kQuickRequest = 0x41;  // "A": quick response request
inline constexpr uint8_t kQuickReply = 0x42;    // "B": its reply
inline constexpr uint8_t kCommand = 0x45;       // "E": command with a 16-bit code

// The boot loader and the flash programmer always answer at this address.
inline constexpr uint8_t kBootAddress = 1;

struct Command {
  uint16_t code;       // sent in the request
  uint16_t replyCode;  // echoed in the reply (differs for the file-block read)
  int request;         // request n, without any data block
  int reply;           // reply n, without any data block
  bool requestData;    // the request carries a data block after `request` bytes
  bool replyData;      // the reply carries a data block after `reply` bytes

  constexpr int RequestLength(int dataLength = 0) const { return request + (requestData ? dataLength : 0); }
  constexpr int ReplyLength(int dataLength = 0) const { return reply + (replyData ? dataLength : 0); }
};

// Quick response request: function 0x41 to the unit's address, no code.
inline constexpr int kQuickRequestLength = 2;
inline constexpr int kQuickReplyLength = 2;

// Instrument software.
inline constexpr Command kVersions{0x1010, 0x1010, 4, 12, false, false};
inline constexpr Command kResetToBootLoader{0x1011, 0x1011, 4, 4, false, false};
inline constexpr Command kExtendedInformation{0x1015, 0x1015, 4, 30, false, false};
// Reply: header then the text; its length is only known from the caller's side.
inline constexpr Command kInformationText{0x1016, 0x1016, 4, 4, false, true};
inline constexpr Command kCheckManufacturingFields{0x1019, 0x1019, 44, 5, false, false};

// Boot loader.
inline constexpr Command kBootLoaderResponse{0x1012, 0x1012, 4, 5, false, false};
inline constexpr Command kBootLoaderRelease{0x1013, 0x1013, 5, 13, false, false};  // parameter: 8-bit 1
inline constexpr Command kWriteRam{0x1020, 0x1020, 9, 9, true, false};
inline constexpr Command kExamineRam{0x1021, 0x1021, 9, 9, false, true};
inline constexpr Command kRunRamProgram{0x1022, 0x1022, 8, 4, false, false};

// Flash programmer.
inline constexpr Command kWriteFlashShort{0x1030, 0x1030, 9, 10, true, false};
inline constexpr Command kWriteFlashSequenced{0x1031, 0x1031, 11, 12, true, false};
inline constexpr Command kResetUnit{0x1032, 0x1032, 4, 4, false, false};
inline constexpr Command kResetProgrammer{0x1033, 0x1033, 4, 4, false, false};
inline constexpr Command kClearChip{0x1034, 0x1034, 9, 4, false, false};  // parameter: "erase"
inline constexpr Command kWriteFlashLong{0x1040, 0x1040, 10, 11, true, false};
inline constexpr Command kWriteOldFields{0x1050, 0x1050, 137, 10, false, false};
inline constexpr Command kReadOldFields{0x1051, 0x1051, 9, 137, false, false};
inline constexpr Command kUpdateManufacturingFields{0x1052, 0x1052, 44, 5, false, false};
inline constexpr Command kPreserveManufacturingFields{0x1053, 0x1053, 8, 5, false, false};
inline constexpr Command kGetStringsAttributes{0x1058, 0x1058, 4, 17, false, false};
inline constexpr Command kWriteStringsBlock{0x1059, 0x1059, 9, 10, true, false};
inline constexpr Command kReadStringsBlock{0x105A, 0x105A, 9, 9, false, true};
inline constexpr Command kOpenFile{0x1060, 0x1060, 5, 5, false, false};
inline constexpr Command kReadFileBlock{0x1062, 0x1061, 10, 10, false, true};
inline constexpr Command kCreateFile{0x1070, 0x1070, 5, 5, false, false};
inline constexpr Command kWriteFileBlock{0x1071, 0x1071, 10, 11, true, false};
inline constexpr Command kCloseFile{0x1080, 0x1080, 5, 5, false, false};
inline constexpr Command kGetFileAttributes{0x1082, 0x1082, 5, 25, false, false};
inline constexpr Command kSetBaudRate{0x1090, 0x1090, 5, 4, false, false};
inline constexpr Command kGetBufferSize{0x1091, 0x1091, 4, 6, false, false};
// The same code as get buffer size; the programmer tells them apart by its state.
inline constexpr Command kExternalMemoryStart{0x1091, 0x1091, 4, 4, false, false};

// Installs the secured boot loader; sent only by the CorvBoot stand-in, never
// by the updater. Reply: result 8 (0 = done).
inline constexpr Command kInstallSecuredBootLoader{0x10F0, 0x10F0, 4, 5, false, false};

// Old-fields area moved by 0x1050 / 0x1051.
inline constexpr int kOldFieldsLength = 128;
// Manufacturing-fields record carried by 0x1019 / 0x1052.
inline constexpr int kManufacturingRecordLength = 40;

}  // namespace corv::cmd
