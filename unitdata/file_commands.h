// The flash programmer's file commands for the unit's flash drive: open,
// create, close, get attributes, and one block written or read back with a
// reply for each. All go to the boot address with 20 attempts; a status other
// than 0 from open, create, close or a block write stops the run, and a
// read-back that differs from what was sent stops it too.
#pragma once
#include <cstdint>

#include "link/exchange.h"
#include "link/link.h"
#include "unitdata/file_attributes.h"

namespace corv {

// "OpenFile:XX", "OK - OpenFile"; fatal "Error opening file:XX".
bool OpenFile(Link& link, uint8_t file);
// "CreateFile:XX", "OK - Createfile"; fatal "Error creating file:XX".
bool CreateUnitFile(Link& link, uint8_t file);
// "CloseFile:XX", "OK - CloseFile"; fatal "Error closing file:XX". A close
// answered "not open" after an attempt that went unanswered was carried out by
// that attempt when the file's attributes equal `written` (what the file holds
// once written whole), and counts as closed.
bool CloseFile(Link& link, uint8_t file, const FileAttributes& written);
// "GetFileAttributes:XX", "OK - GetFileAttributes". True only for a valid
// reply with status 0 (a file the unit does not have answers otherwise).
bool GetUnitFileAttributes(Link& link, uint8_t file, FileAttributes& attributes);

// 0x1071 with its reply: it must echo file, offset and length. "!" after each
// failed attempt; fatal "Error writing to file:XX" on a status other than 0.
// After an intact reply to another request (a late one) the next attempt waits
// for this request's reply without sending it again; so does the read below.
bool WriteFileBlock(Link& link, uint8_t file, uint32_t offset, const uint8_t* data, uint8_t length);

// The 0x1071 request of one block, for the overlapped writing to send and to
// read replies through.
Exchange FileBlockRequest(Link& link, uint8_t file, uint32_t offset, const uint8_t* data, uint8_t length);

// 0x1062 (answered with 0x1061) and compares the block with `expected`. Only an
// intact reply that echoes file, offset and length is compared; anything else
// prints "!" and asks again. A real difference is fatal: "Verify file failed
// at XXXXXXXX" (the block's offset).
bool ReadFileBlock(Link& link, uint8_t file, uint32_t offset, const uint8_t* expected, uint8_t length);

}  // namespace corv
