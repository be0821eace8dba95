// The command line and CORVANTAPORT read into the run settings, the banner and
// the usage text.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "support/context.h"
#include "support/settings.h"
#include "support/stream.h"

namespace corv {

inline constexpr int kProgramVersion = 5;
inline constexpr int kProgramMinor = 10;
inline constexpr int kProgramRelease = 37;

// "Corvanta Updater 5.10v37" and CR LF.
void PrintBanner(OutStream& console);
// The usage text, each line ended by CR LF.
void PrintUsage(OutStream& console);

// Reads the arguments (without the program name) in order into the settings.
// False at the first bad argument (unknown option letter, -p other than "0" or
// "1", -b other than a positive whole number, a value option without its
// value); the settings then hold what the arguments before it set.
bool ParseArguments(const std::vector<std::string>& args, RunSettings& settings);

// When no port was given and CORVANTAPORT holds a value: "Using CORVANTAPORT
// from environment" on the console and the port from it ("com7" or "7").
void ApplyPortVariable(Context& ctx, std::string_view value);

// ParseArguments, and on a bad argument the usage text and the fatal error
// "Incorrect arguments"; then CORVANTAPORT.
void ReadCommandLine(Context& ctx, const std::vector<std::string>& args, std::string_view portVariable);

}  // namespace corv
