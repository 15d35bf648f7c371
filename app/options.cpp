#include "app/options.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace korrin {

bool parseArguments(int argc, const char* const* argv, ArgumentMap& args, std::string& error) {
  args.clear();
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i] != nullptr ? argv[i] : "";
    if (a.size() < 2 || a.compare(0, 2, "--") != 0) {
      error = "Unknown argument format: " + a;
      return false;
    }
    const std::size_t eq = a.find('=');
    if (eq == std::string::npos) {
      // A following word that does not look like an option is this key's value; an empty word
      // counts as a value too, which is how an empty --out reaches the caller.
      std::string value = "true";
      if (i + 1 < argc && argv[i + 1] != nullptr && argv[i + 1][0] != '-') {
        value = argv[i + 1];
        ++i;
      }
      args[a.substr(2)] = value;
      continue;
    }
    if (eq == 2 || eq == a.size() - 1) {
      error = "Malformed argument: " + a;
      return false;
    }
    args[a.substr(2, eq - 2)] = a.substr(eq + 1);
  }
  return true;
}

std::optional<int32_t> parseDecimal(const std::string& text) {
  std::size_t i = 0;
  // The white-space set of the C library's number conversions in the "C" locale.
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' ||
                             text[i] == '\v' || text[i] == '\f' || text[i] == '\r')) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  constexpr int64_t limit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  int64_t magnitude = 0;
  bool anyDigit = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    anyDigit = true;
    // Saturate just past the range so arbitrarily long digit runs cannot overflow.
    if (magnitude <= limit) magnitude = magnitude * 10 + (text[i] - '0');
  }
  if (!anyDigit) return std::nullopt;
  const int64_t value = negative ? -magnitude : magnitude;
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<int32_t>(value);
}

bool readOptions(const ArgumentMap& args, const std::string& defaultDir, RunOptions& options,
                 std::string& badKey) {
  const auto dirIt = args.find("dir");
  options.dir = dirIt != args.end() ? dirIt->second : defaultDir;

  const std::array<std::pair<const char*, int32_t*>, 5> numeric{{
      {"kmax", &options.kmax},
      {"dkmax", &options.dkmax},
      {"mask_radius", &options.mask_radius},
      {"mask_interval", &options.mask_interval},
      {"nprocs", &options.nprocs},
  }};
  for (const auto& [key, field] : numeric) {
    const auto it = args.find(key);
    if (it == args.end()) continue;
    const std::optional<int32_t> value = parseDecimal(it->second);
    if (!value) {
      badKey = key;
      return false;
    }
    *field = *value;
  }

  const auto outIt = args.find("out");
  options.out = outIt != args.end() ? outIt->second : std::string();
  options.help = args.count("help") != 0 || args.count("h") != 0;
  return true;
}

std::string stripQuotes(const std::string& value) {
  if (value.size() < 2) return value;
  std::string result = value;
  if (result.front() == '"') result.erase(0, 1);
  if (!result.empty() && result.back() == '"') result.pop_back();
  return result;
}

std::string usageLine(const std::string& invocationName) {
  return "Version 3.0.1 Usage: " + invocationName +
         " --dir=[./] [--kmax=60] [--dkmax=9] [--mask_radius=0] [--mask_interval=10] "
         "[--nprocs=-1] --out=[] [--help]\n";
}

const std::string& helpText() {
  static const std::string text =
      "\n\nOptions:\n"
      "  --dir: directory containing fits files, default current directory\n"
      "  --kmax: maximum frequency, default 60\n"
      "  --dkmax: maximum delta frequency, default 9\n"
      "  --mask_radius: radius in pixels of star mask, default 0 (no mask)\n"
      "  --mask_interval: interval between recalculation of random mask within each thread "
      "(0=every), default 10\n"
      "  --nprocs: number of threads relative to number available: 0=all, 1=one, -1=all but one, "
      "default -1\n"
      "  --out: output binary file name, default derived from first fits file with last _ token "
      "stripped\n"
      "\n.fit and .fits are recognized, case insensitive, but fits cubes are not allowed.\n"
      "All images must have the same W x W size, with allowed widths: 128, 256, 512, 1024.\n"
      "This version does not support dark subtract.\n"
      "Best performance is with a fast SSD drive and multiple cores.  No GPU is required and "
      "memory use is under 2GB.\n"
      "Examples:\n"
      "Korrin <by itself will process all fits files in current dir and output .krn1 based on "
      "first file name>\n"
      "Korrin --dir=/mydir/myfits <will process all fits files in /mydir/myfits and output the "
      ".krn1 file there>\n"
      "Korrin --dir=/mydir/myfits -out=/myotherdir <will process all fits files in /mydir/myfits "
      "and output the .krn1 file in myotherdir>\n";
  return text;
}

}  // namespace korrin
