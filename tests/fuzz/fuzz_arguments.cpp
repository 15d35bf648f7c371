// Option parsing, option reading, quote stripping and result naming on arbitrary argument
// vectors: the input is split at NUL bytes into the words after the program name.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/capture_scan.h"
#include "app/options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> words{"korrin"};
  std::string current;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      words.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  words.push_back(current);
  std::vector<const char*> argv;
  for (const auto& w : words) argv.push_back(w.c_str());

  korrin::ArgumentMap args;
  std::string error;
  korrin::usageLine(words.back());
  if (!korrin::parseArguments(static_cast<int>(argv.size()), argv.data(), args, error)) {
    if (error.empty()) __builtin_trap();
    return 0;
  }
  korrin::RunOptions options;
  std::string badKey;
  if (!korrin::readOptions(args, "/capture", options, badKey)) {
    if (args.find(badKey) == args.end()) __builtin_trap();
    return 0;
  }
  const std::string dir = korrin::normalizeCaptureDir(korrin::stripQuotes(options.dir));
  const std::string out = korrin::stripQuotes(options.out);
  // Any word may be the name of a first frame.
  for (const auto& w : words) {
    const std::string derived = korrin::deriveOutputName(dir, dir + w);
    if (derived.compare(0, dir.size(), dir) != 0) __builtin_trap();
  }
  if (!out.empty()) korrin::splitString(out, words.size() > 1 ? words[1].substr(0, 3) : "_");
  return 0;
}
