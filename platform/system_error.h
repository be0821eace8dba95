// The system's own text for one of its error numbers.
#pragma once
#include <string>

namespace corv {

// The system's text for an error number (at most 255 characters).
std::string SystemReason(int errorNumber);
// "Error: " and SystemReason.
std::string SystemErrorText(int errorNumber);

// The system's numbers for the two refusals the link makes itself: no such
// port, and a line setting no port takes.
int NoSuchDeviceError();
int InvalidSettingError();

}  // namespace corv
