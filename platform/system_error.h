// The system's own text for one of its error numbers.
#pragma once
#include <string>

namespace corv {

// The system's text for an error number (at most 255 characters).
std::string SystemReason(int errorNumber);
// "Error: " and SystemReason.
std::string SystemErrorText(int errorNumber);

}  // namespace corv
