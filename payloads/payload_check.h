// Holds a payload file's bytes to its catalogue entry: the header values, the
// record layout and the sizes of an image stream, the length and beginning of a
// flash-drive file. The build runs it over the files it embeds and refuses any
// that fail.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "payloads/payload_table.h"

namespace corv {

// Empty when the stream meets the entry; otherwise the first problem found, as
// one line naming the file.
std::string CheckImage(const ImageLayout& entry, const uint8_t* data, size_t size);
std::string CheckFile(const FileLayout& entry, const uint8_t* data, size_t size);

// CRC-32 over the data bytes of every record in stored order (record headers
// excluded), which is what a unit computes after a flash pass of the image.
uint32_t ImageDataCrc(const uint8_t* data, size_t size);

}  // namespace corv
