// The flash programmer's commands for the unit's strings area (the strings
// file kept in the 128K EEPROM): its attributes, one block written, one block
// read back. They carry no file number; offsets count from the start of the
// strings file.
#pragma once
#include <cstdint>

#include "link/exchange.h"
#include "link/link.h"

namespace corv {

// What the unit reports: EEPROM status and the header of the strings file it holds.
struct StringsAttributes {
  uint8_t eepromStatus = 0;  // 0 8K, 1 128K working, 2 128K failed
  uint32_t size = 0;
  uint32_t identWord = 0;
  uint16_t magic = 0;
  uint16_t identHalf = 0;
};

// 0x1058, 20 attempts; "GetStringFileAttributes" and "OK - GetStringFileAttributes:XX".
bool GetStringFileAttributes(Link& link, StringsAttributes& attributes);

// 0x1059 with its reply, which must echo offset and length. "!" after each
// failed attempt; fatal "Error writing to file:XX" on a status other than 0.
bool WriteStringBlock(Link& link, uint32_t offset, const uint8_t* data, uint8_t length);

// The 0x1059 request of one block, for the overlapped writing to send and to
// read replies through.
Exchange StringBlockRequest(Link& link, uint32_t offset, const uint8_t* data, uint8_t length);

// 0x105A and compares the block with `expected`: only an intact reply that
// echoes offset and length is compared; anything else prints "!" and asks
// again. A real difference is fatal: "Verify file failed at XXXXXXXX".
bool ReadStringBlock(Link& link, uint32_t offset, const uint8_t* expected, uint8_t length);

}  // namespace corv
