#include "tests/hostile/hostile_corpus.h"

#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace korrin::test {

namespace {

constexpr size_t kBlock = 2880;

void putBigEndian(std::string& out, uint32_t value, int bytes) {
  for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) out.push_back(char(value >> shift));
}

// The name of a card, without its blanks.
std::string keyOf(const std::string& text) {
  const size_t first = text.find_first_not_of(' ');
  return first == std::string::npos ? ""
                                    : text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// The cards of header(edits), END included.
std::vector<std::string> cardsOf(const std::string& edits) {
  std::vector<std::string> cards{valueCard("SIMPLE", "T"),   valueCard("BITPIX", "16"),
                                 valueCard("NAXIS", "2"),    valueCard("NAXIS1", "128"),
                                 valueCard("NAXIS2", "128"), card("END")};
  const auto find = [&cards](const std::string& key) {
    return std::find_if(cards.begin(), cards.end(),
                        [&key](const std::string& c) { return keyOf(c.substr(0, 8)) == key; });
  };
  for (size_t at = 0, bar; at < edits.size(); at = bar + 1) {
    bar = std::min(edits.find('|', at), edits.size());
    const std::string edit = edits.substr(at, bar - at);
    const size_t eq = edit.find('='), star = edit.rfind('*');
    const bool another = edit[0] == '+';
    const std::string key = keyOf(edit.substr(another, eq - another));
    if (edit[0] == '-') {
      cards.erase(find(edit.substr(1)));
    } else if (eq != std::string::npos && !another && find(key) != cards.end()) {
      *find(key) = valueCard(key, keyOf(edit.substr(eq + 1)));
    } else if (eq != std::string::npos) {
      cards.insert(find("END"), valueCard(key, keyOf(edit.substr(eq + 1))));
    } else {
      const bool repeated =
          star != std::string::npos && std::isdigit(static_cast<unsigned char>(edit.back()));
      cards.insert(find("END"), repeated ? std::atoi(edit.c_str() + star + 1) : 1,
                   card(edit.substr(0, repeated ? star : edit.size())));
    }
  }
  return cards;
}

// The number in a card's value, or `fallback` when the card is missing or holds none.
int64_t valueOf(const std::vector<std::string>& cards, const std::string& key, int64_t fallback) {
  for (const auto& c : cards) {
    char* end = nullptr;
    const long long v = std::strtoll(c.c_str() + 10, &end, 10);
    if (keyOf(c.substr(0, 8)) == key) return end == c.c_str() + 10 || v > 65536 ? fallback : v;
  }
  return fallback;
}

// Pixel data of a case: none, the star pattern, or a cycle of raw sample values, in the header's
// geometry and BITPIX.
struct Pixels {
  enum Kind { kNone, kStar, kCycle } kind = kNone;
  std::vector<double> values{};
};

std::string samples(const std::vector<std::string>& cards, const Pixels& pixels, unsigned seed) {
  const int64_t bitpix = valueOf(cards, "BITPIX", 16);
  const int64_t width = valueOf(cards, "NAXIS1", 128), height = valueOf(cards, "NAXIS2", 128);
  const int64_t count =
      pixels.kind == Pixels::kNone ? 0 : width * height * valueOf(cards, "NAXIS3", 1);
  std::string out;
  for (int64_t i = 0; i < count; ++i) {
    const int64_t x = i % width, y = i / width % height;
    const double dx = x - width / 2.0 - 3.0, dy = y - width / 2.0 + 2.0;
    double v = std::round(1000.0 + 20000.0 * std::exp(-(dx * dx + dy * dy) / 18.0) +
                          double((x * 7u + y * 13u + seed * 31u) % 17u));
    if (pixels.kind == Pixels::kCycle) v = pixels.values[size_t(i) % pixels.values.size()];
    if (bitpix == 8) {
      out.push_back(
          static_cast<char>(static_cast<int>(pixels.kind == Pixels::kStar ? v / 100 : v)));
    } else if (bitpix == -32) {
      putBigEndian(out, std::bit_cast<uint32_t>(static_cast<float>(v)), 4);
    } else {
      putBigEndian(out, static_cast<uint32_t>(static_cast<int64_t>(v)), 2);
    }
  }
  return padded(out);
}

struct Outcome {
  std::string readerMessage{};
  int width = 128, height = 128;
  std::string skipReason{};
};

// The case's file: header(edits) and its pixels, then `edit` applied to the bytes.
HostileCase row(
    const std::string& name, const std::string& edits, const Pixels& pixels, const Outcome& outcome,
    void (*edit)(std::string&) = [](std::string&) {}) {
  std::string bytes = header(edits) + samples(cardsOf(edits), pixels, 7);
  edit(bytes);
  return {name,          name + ".fits", EntryKind::kFile,  bytes, outcome.readerMessage,
          outcome.width, outcome.height, outcome.skipReason};
}

// Sets bytes [from, to) of a file to `c`.
template <size_t from, size_t to, char c>
void fill(std::string& bytes) {
  std::fill(bytes.begin() + from, bytes.begin() + to, c);
}

}  // namespace

std::string card(const std::string& text) {
  std::string c = text.substr(0, 80);
  c.resize(80, ' ');
  return c;
}

std::string valueCard(const std::string& name, const std::string& value) {
  std::string c = name;
  c.resize(8, ' ');
  return card(c + "= " + std::string(value.size() < 20 ? 20 - value.size() : 0, ' ') + value);
}

std::string header(const std::string& edits) {
  std::string out;
  for (const auto& c : cardsOf(edits)) out += c;
  return padded(out, ' ');
}

std::string padded(std::string bytes, char fill) {
  bytes.append((kBlock - bytes.size() % kBlock) % kBlock, fill);
  return bytes;
}

std::string samples16(const std::vector<int>& words) {
  std::string out;
  for (int w : words) putBigEndian(out, static_cast<uint32_t>(w), 2);
  return out;
}

std::string validFrameBytes(int width, int bitpix, unsigned seed) {
  const std::string w = std::to_string(width);
  const std::string edits = "BITPIX=" + std::to_string(bitpix) + "|NAXIS1=" + w + "|NAXIS2=" + w;
  return header(edits) + samples(cardsOf(edits), {Pixels::kStar}, seed);
}

std::vector<HostileCase> hostileCases() {
  const auto reader = [](int line, const std::string& text) {
    return Outcome{"fitsio.cpp (" + std::to_string(line) + "):  " + text + "\r\n"};
  };
  const Outcome parseEnd = reader(1464, "error parsing fits file <<PATH>>");
  const Outcome naxis1 = reader(1502, "can't read fits param NAXIS1");
  const Outcome naxis2 = reader(1515, "can't read fits param NAXIS2");
  const Outcome negativeX{"negative x size read from fits header\n"};
  const Outcome adds{}, nonFinite{"", 128, 128, ": non-finite pixel values"},
      tooLarge{"", 128, 128, ": pixel values too large"};
  const auto loadsAs = [](int width, int height) { return Outcome{"", width, height}; };
  const Pixels none{}, star{Pixels::kStar};
  const auto cycle = [](std::vector<double> values) { return Pixels{Pixels::kCycle, values}; };

  std::vector<HostileCase> cases{
      // Not FITS at all, or a header that never ends; "END" appears, but never at the start of
      // an 80-byte card; the END card is there, but the file stops before its block is complete.
      row("empty", "", none, parseEnd, [](std::string& b) { b.clear(); }),
      row("text_named_fits", "", none, parseEnd,
          [](std::string& b) { b = "Observation notes\nseeing 1.2 arcsec\n"; }),
      row("header_cut_inside_card", "", star, parseEnd, [](std::string& b) { b.resize(353); }),
      row("no_end_card", "-END", cycle({0}), parseEnd),
      row("end_inside_card", "-END|COMMENT END|        END", none, parseEnd),
      row("cards_shifted_by_three_bytes", "", star, parseEnd,
          [](std::string& b) { b.insert(0, "XYZ"); }),
      row("last_block_cut", "", none, reader(1477, "error parsing fits file <<PATH>>"),
          [](std::string& b) { b.resize(6 * 80 + 40); }),
      row("lowercase_end", "-END|end", none, parseEnd),

      // Newline bytes make the line-based scan and the 80-byte card layout disagree: one after
      // END ends the block early; each one of a fill counts as a card, so the pixel data is read
      // from inside the fill; one in a card puts every later card out of step; "END\n" is not an
      // END card. A NUL at the start of NAXIS1 hides that card from the lookups.
      row("newline_after_end", "", star, adds, fill<440, 441, '\n'>),
      row("newline_in_comment_card", "COMMENT written by a script\nwith a newline", star, parseEnd),
      row("newlines_fill_last_block", "", star, adds, fill<480, kBlock, '\n'>),
      row("end_card_ends_in_newline", "", star, parseEnd, fill<403, 404, '\n'>),
      row("newlines_only_after_bitpix", "-NAXIS|-NAXIS1|-NAXIS2|-END", none, parseEnd,
          fill<110, kBlock, '\n'>),
      row("nul_bytes_in_cards", "", star, naxis1, [](std::string& b) { b[91] = b[240] = '\0'; }),

      // Geometry. 65536^2 samples wrap to 0 in 32-bit arithmetic, 46341^2 to a negative count;
      // 2^32 + 128 and 2^64 + 128 would read as 128 if cut to 32 or 64 bits.
      row("naxis1_zero", "NAXIS1=0", none, loadsAs(0, 128)),
      row("naxis2_zero", "NAXIS2=0", none, loadsAs(128, 0)),
      row("naxis_both_zero", "BITPIX=-32|NAXIS1=0|NAXIS2=0", none, loadsAs(0, 0)),
      row("naxis1_negative", "NAXIS1=-5", none, negativeX),
      row("naxis2_negative", "NAXIS2=-128", none, {"negative y size read from fits header\n"}),
      row("naxis1_min_int", "NAXIS1=-2147483648", none, negativeX),
      row("naxis1_text", "NAXIS1='WIDE'", none, naxis1),
      row("naxis2_text", "NAXIS2=abc", none, naxis2),
      row("naxis1_empty_value", "NAXIS1=", none, naxis1),
      row("naxis1_missing", "-NAXIS|-NAXIS1", star, naxis1),
      // A frame of a size the run cannot use is known from its header alone: none of these
      // pixel buffers is ever asked for (23170^2 floats would be just under 2 GB).
      row("naxis1_max_int", "NAXIS1=2147483647|NAXIS2=1", none, loadsAs(2147483647, 1)),
      row("naxis_max_int_both", "BITPIX=-32|NAXIS1=2147483647|NAXIS2=2147483647", none,
          loadsAs(2147483647, 2147483647)),
      row("naxis_product_wraps_32_to_zero", "BITPIX=8|NAXIS1=65536|NAXIS2=65536", none,
          loadsAs(65536, 65536)),
      row("naxis_product_wraps_32_negative", "NAXIS1=46341|NAXIS2=46341", none,
          loadsAs(46341, 46341)),
      row("float_gigapixels", "BITPIX=-32|NAXIS1=23170|NAXIS2=23170", none, loadsAs(23170, 23170)),
      row("tall_gigapixels", "BITPIX=-32|NAXIS2=4194304", none, loadsAs(128, 4194304)),
      row("naxis1_wraps_32_bits", "NAXIS1=4294967424", none, naxis1),
      row("naxis1_wraps_64_bits", "NAXIS1=18446744073709551744", none, naxis1),
      row("naxis2_product_overflows_64_bits", "NAXIS2=99999999999999999999999999", none, naxis2),
      row("not_square_tall", "NAXIS2=256", none, loadsAs(128, 256)),
      row("not_square_wide", "NAXIS1=256", none, loadsAs(256, 128)),
      row("width_200", "NAXIS1=200|NAXIS2=200", none, loadsAs(200, 200)),
      row("width_64", "NAXIS1=64|NAXIS2=64", star, loadsAs(64, 64)),

      // Sample formats; BZERO beyond the float range, or NaN, poisons every pixel.
      row("bitpix_text", "BITPIX='SIXTEEN'", none, reader(1528, "can't read fits param BITPIX")),
      row("bitpix_missing", "-NAXIS|-BITPIX", star, reader(1528, "can't read fits param BITPIX")),
      row("bzero_text", "BZERO='zero'", cycle({0x8123}), adds),
      row("bzero_overflows_float", "BZERO=1E39", cycle({1}), nonFinite),
      row("bzero_nan", "BZERO=NAN", cycle({5}), nonFinite),

      // Pixel data. Pixels of magnitude 2^40 or more would overflow the bispectrum terms: 2^40 is
      // refused, as a float or as 16-bit samples shifted by BZERO; just below it is not.
      row("data_cut_short", "", star, adds, [](std::string& b) { b.resize(kBlock + 15361); }),
      row("data_missing", "", none, adds),
      row("float_nan", "BITPIX=-32", cycle({900, 1e4, NAN}), nonFinite),
      row("float_infinities", "BITPIX=-32", cycle({900, 1e4, INFINITY}), nonFinite),
      row("float_minus_infinity", "BITPIX=-32", cycle({900, -INFINITY}), nonFinite),
      row("float_denormals", "BITPIX=-32", cycle({900, 1e4, 1e-42}), adds),
      row("float_largest", "BITPIX=-32", cycle({FLT_MAX}), tooLarge),
      row("float_at_magnitude_limit", "BITPIX=-32", cycle({900, 1e4, -0x1p40}), tooLarge),
      row("float_below_magnitude_limit", "BITPIX=-32", cycle({900, 1e4, 0x1.fffffep39}), adds),
      row("bzero_at_magnitude_limit", "BZERO=1099511627776", cycle({0}), tooLarge),
      row("bzero_below_magnitude_limit", "BZERO=549755813888", cycle({0x7fff}), adds),
      row("bits8_extremes", "BITPIX=8", cycle({0, 0xff}), adds),
      row("bits16_extremes_unsigned", "", cycle({0xffff, 0, 0x8000}), adds),
      row("bits16_extremes_bzero", "BZERO=32768", cycle({0x8000, 0x7fff}), adds),

      // Structure. With 35 cards END is the last card of the first block; a duplicate NAXIS1
      // further down is never seen (the first matching card wins).
      row("several_header_blocks", "COMMENT padding*80", star, adds),
      row("end_is_last_card_of_block", "HISTORY filler*30", star, adds),
      row("extension_after_image", "", star, adds,
          [](std::string& b) {
            b += header("-SIMPLE|XTENSION='IMAGE'|BITPIX=-64|NAXIS1=4096|NAXIS2=4096") +
                 padded(std::string(3000, '\x7f'));
          }),
      row("cube_of_three_planes", "NAXIS=3|NAXIS3=3", star, adds),
      row("duplicate_naxis1", "+NAXIS1=1000000", star, adds),
      row("hostile_descriptive_keywords",
          "QZCOM1='mstack 99999999999 nexp -7 exptotal nan'|OBJCTALT='1e999'|EXPTIME=-1e45|"
          "FILTER=''''''''''''''''''''''''''''''''''''''''''''''''''''''''''''''''''''''''",
          star, adds),
  };
  for (int b : {0, 7, 32, 64, -64, -16}) {
    cases.push_back(row("bitpix_" + std::string(b < 0 ? "minus" : "") + std::to_string(std::abs(b)),
                        "BITPIX=" + std::to_string(b), none,
                        reader(1642, "unsupported FITS format: " + std::to_string(b))));
  }
  // Entries that are not regular files; the listing passes over a directory and a fifo, but
  // either may replace a frame after the listing.
  const std::string notRegular = "fitsio.cpp (1454):  error opening file:  <PATH>: ";
  cases.push_back({"directory_named_fits", "x.fits", EntryKind::kDirectory, "",
                   notRegular + "not a regular file\n"});
  cases.push_back(
      {"fifo_named_fits", "z.fits", EntryKind::kFifo, "", notRegular + "not a regular file\n"});
  cases.push_back({"symlink_loop_named_fits", "y.fits", EntryKind::kSymlinkLoop, "",
                   notRegular + "Too many levels of symbolic links\n"});
  return cases;
}

std::filesystem::path materialize(const HostileCase& hostile, const std::filesystem::path& dir) {
  const std::filesystem::path path = dir / hostile.fileName;
  if (hostile.kind == EntryKind::kDirectory) {
    std::filesystem::create_directory(path);
  } else if (hostile.kind == EntryKind::kSymlinkLoop) {
    std::filesystem::create_symlink(hostile.fileName, path);
  } else if (hostile.kind == EntryKind::kFifo) {
    if (mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("cannot make " + path.string());
  } else {
    std::ofstream(path, std::ios::binary) << hostile.bytes;
    if (std::filesystem::file_size(path) != hostile.bytes.size()) {
      throw std::runtime_error("cannot write " + path.string());
    }
  }
  return path;
}

}  // namespace korrin::test
