// The parameter file of a manufacturing run, as the tests in process and the
// end-to-end tests write it.
#pragma once
#include <cstdint>
#include <string>

#include "sim/unit_data.h"

namespace corv::testing {

// The lines of a manufacturing run that gives the unit `serial` (its fields
// as the unit's own record encrypts them), each ended by `lineEnd`; without
// the secret keys' CRC when `keysCrc` is false.
inline std::string ManufacturingJob(uint32_t serial, bool program = true, const std::string& lineEnd = "\r\n",
                                    bool keysCrc = true) {
  const sim::FieldsText t = sim::FieldsAsText(sim::MakeFieldsRecord(serial));
  std::string job = "CorvManufacture=TRUE" + lineEnd + "Program=" + (program ? "TRUE" : "FALSE") + lineEnd +
                    "EncryptedSerialNo=" + t.serialNo + lineEnd + "EncryptedSerialNoCRC=" + t.serialNoCrc +
                    lineEnd + "EncryptedSecretKeys=" + t.secretKeys + lineEnd;
  if (keysCrc) job += "EncryptedSecretKeysCRC=" + t.secretKeysCrc + lineEnd;
  return job + "SerialNo=" + std::to_string(serial) + lineEnd;
}

}  // namespace corv::testing
