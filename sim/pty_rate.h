// The line rate a program set on a terminal device, read with TCGETS2 so that
// rates set through BOTHER (128000, 921600 ...) show as they were asked for.
#pragma once
#include <cstdint>

namespace corv::sim {

// The output rate of the terminal behind `fd`, or 0 when it cannot be read.
int32_t TerminalRate(int fd);
// Puts a terminal in raw 8-bit mode without echo.
bool MakeRaw(int fd);

}  // namespace corv::sim
