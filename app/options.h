// Command-line options: argument syntax, option reading with its number conversion, and the fixed
// usage and help texts.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace korrin {

// The settings of one run. The defaults are those of an option that is not on the command line,
// except `dir`, whose default (the current directory) the caller supplies to readOptions.
struct RunOptions {
  std::string dir;
  int32_t kmax = 60;
  int32_t dkmax = 9;
  int32_t mask_radius = 0;
  int32_t mask_interval = 10;
  int32_t nprocs = -1;
  std::string out;
  bool help = false;
};

// Keys compared byte for byte; storing a key again replaces its value, so the last one wins.
using ArgumentMap = std::map<std::string, std::string>;

// Accepts --key=value, --key value and a bare --key (value "true"), from argv[1] on. Empties
// `args` first. On failure `error` holds the message to print and `args` what was stored before
// the offending argument.
bool parseArguments(int argc, const char* const* argv, ArgumentMap& args, std::string& error);

// Decimal conversion of an option value: leading white space, an optional sign, then the digits
// up to the first non-digit; the rest is ignored. Empty when no digit follows or the number is
// outside the 32-bit signed range.
std::optional<int32_t> parseDecimal(const std::string& text);

// Reads the options in their fixed order (dir, kmax, dkmax, mask_radius, mask_interval, nprocs,
// out, then the help flag). `defaultDir` is used when `dir` is absent. Returns false at the first
// numeric value that does not convert, with its key in `badKey`; the help flag is then not read.
bool readOptions(const ArgumentMap& args, const std::string& defaultDir, RunOptions& options,
                 std::string& badKey);

// Removes one double quote at the start and, independently, one at the end; values shorter than
// two characters are returned unchanged.
std::string stripQuotes(const std::string& value);

// "Version 3.0.1 Usage: " + invocation name + the option synopsis, ending with a line feed.
std::string usageLine(const std::string& invocationName);

// Everything written after the usage line when help is requested.
const std::string& helpText();

}  // namespace korrin
