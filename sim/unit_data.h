// The unit's own data rules: how it keeps its manufacturing fields (the
// 40-byte record and the serial number enciphered in it), and the five
// attribute words it reports for a flash-drive file.
//
// Manufacturing-fields record (as carried by 0x1019 / 0x1052):
//   bytes 0..3   encrypted serial number = serial (big-endian) XOR 0x5AC3A53C
//   bytes 4..5   its check value: CRC-16 (the frame check) of bytes 0..3, high byte first
//   bytes 6..37  encrypted secret keys
//   bytes 38..39 their check value: CRC-16 of bytes 6..37, high byte first
// A record is valid when both check values hold and it is not erased (all
// 0xFF). The unit's serial number is the deciphered one of a valid record, else 0.
//
// File attributes (0x1082): size, then the sum and the XOR of the 1st, 3rd,
// 5th ... 32-bit words and of the 2nd, 4th ... words; words are made of four
// bytes, the last group padded with zeros, little-endian on MCU types 3 and 5
// and big-endian on the others.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace corv::sim {

inline constexpr int kFieldsLength = 40;
inline constexpr uint32_t kSerialCipher = 0x5AC3A53C;

// A valid record for `serial`, with keys derived from it (0 gives an erased record).
std::vector<uint8_t> MakeFieldsRecord(uint32_t serial);
bool FieldsValid(const uint8_t* record);
// The serial number a unit holding `record` reports (0 when not valid).
uint32_t FieldsSerial(const uint8_t* record);
// The record as the parameter file carries it: EncryptedSerialNo (8 hex digits),
// EncryptedSerialNoCRC (4), EncryptedSecretKeys (64), EncryptedSecretKeysCRC (4).
struct FieldsText {
  std::string serialNo, serialNoCrc, secretKeys, secretKeysCrc;
};
FieldsText FieldsAsText(const std::vector<uint8_t>& record);

bool LittleEndianWords(int mcuType);
std::array<uint32_t, 5> FileAttributes(const uint8_t* data, size_t size, bool littleEndian);

}  // namespace corv::sim
