// The unit's manufacturing fields (serial number and secret keys, enciphered,
// each with its check value): reading the set a manufacturing run supplies from
// the parameter file, and the three unit commands that check the unit's fields
// against a set, write a set into flash, or keep the present fields valid
// across a software update. The values are carried as they are; the unit alone
// deciphers and validates them.
#pragma once
#include <array>
#include <cstdint>

#include "link/commands.h"
#include "link/link.h"
#include "support/context.h"

namespace corv {

// The 40 bytes sent to the unit: encrypted serial number (4), its check value
// (2), encrypted secret keys (32), their check value (2), in parameter-file order.
using ManufacturingRecord = std::array<uint8_t, cmd::kManufacturingRecordLength>;

struct ManufacturingInput {
  ManufacturingRecord record{};
  int32_t serialNumber = 0;  // SerialNo: the unit's new serial number
};

// Reads EncryptedSerialNo, EncryptedSerialNoCRC, EncryptedSecretKeys,
// EncryptedSecretKeysCRC and SerialNo from the run's parameter file and prints
// "SerialNo=<n>". A missing or empty value stops the run with "Missing <key>",
// one shorter than its digits with "Field error: <key>", and a SerialNo of 0 or
// none with "Missing SerialNo".
ManufacturingInput ReadManufacturingInput(Context& ctx);

// 0x1019 to the running software (fatal in another mode). On success `differs`
// tells whether the unit's fields differ from the record. False after 20
// failed attempts.
bool CheckManufacturingFields(Link& link, const ManufacturingRecord& record, bool& differs);

// 0x1052 to the flash programmer (fatal in another mode). The unit's result
// code is printed and does not fail the operation; false only after 20 failed
// attempts.
bool UpdateManufacturingFields(Link& link, const ManufacturingRecord& record);

// 0x1053 to the flash programmer with the serial number the unit reported
// before the update (fatal in another mode). The result code is printed and
// does not fail the operation; false only after 20 failed attempts.
bool PreserveManufacturingFields(Link& link, int32_t serialNumber);

}  // namespace corv
