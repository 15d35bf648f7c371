#include "tests/hostile/hostile_corpus.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <limits>
#include <stdexcept>

namespace korrin::test {

namespace {

constexpr size_t kBlock = 2880;

void putBigEndian(std::string& out, uint32_t value, int bytes) {
  for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) {
    out.push_back(static_cast<char>((value >> shift) & 0xffu));
  }
}

std::string reader(int line, const std::string& text) {
  return "fitsio.cpp (" + std::to_string(line) + "):  " + text + "\r\n";
}

const std::string kParseEnd = reader(1464, "error parsing fits file <<PATH>>");
const std::string kParseBlock = reader(1477, "error parsing fits file <<PATH>>");
const std::string kNaxis1 = reader(1502, "can't read fits param NAXIS1");
const std::string kNaxis2 = reader(1515, "can't read fits param NAXIS2");
const std::string kBitpix = reader(1528, "can't read fits param BITPIX");
const std::string kFile16 = reader(1572, "can't malloc fileArray");
const std::string kFile8 = reader(1607, "can't malloc fileArray");
const std::string kFloat32 = reader(1549, "can't malloc floatArray");

std::string unsupported(int bitpix) {
  return reader(1642, "unsupported FITS format: " + std::to_string(bitpix));
}

float starPixel(int width, int x, int y, unsigned seed) {
  const double dx = x - width / 2.0 - 3.0;
  const double dy = y - width / 2.0 + 2.0;
  const double star = 20000.0 * std::exp(-(dx * dx + dy * dy) / 18.0);
  const double texture = static_cast<double>((x * 7u + y * 13u + seed * 31u) % 17u);
  return static_cast<float>(std::round(1000.0 + star + texture));
}

std::string samplesFloat(const std::vector<float>& values) {
  std::string out;
  for (float v : values) putBigEndian(out, std::bit_cast<uint32_t>(v), 4);
  return out;
}

// A 128 x 128 -32 frame of the star pattern with a few pixels replaced.
std::string floatFrameWith(float replacement, size_t every, const std::string& bzero = "") {
  std::vector<float> values;
  for (int y = 0; y < 128; ++y)
    for (int x = 0; x < 128; ++x) values.push_back(starPixel(128, x, y, 1));
  for (size_t i = 5; i < values.size(); i += every) values[i] = replacement;
  auto cards = imageCards("-32", "128", "128");
  if (!bzero.empty()) cards.push_back(valueCard("BZERO", bzero));
  return headerBlock(cards) + padded(samplesFloat(values));
}

std::string frame16With(const std::vector<std::string>& extraCards, const std::vector<int>& words) {
  auto cards = imageCards("16", "128", "128");
  cards.insert(cards.end(), extraCards.begin(), extraCards.end());
  return headerBlock(cards) + padded(samples16(words));
}

HostileCase fails(std::string name, std::string bytes, std::string message) {
  HostileCase c;
  c.name = std::move(name);
  c.bytes = std::move(bytes);
  c.loads = false;
  c.readerMessage = std::move(message);
  return c;
}

HostileCase loads(std::string name, std::string bytes, int width = 128, int height = 128,
                  bool finite = true) {
  HostileCase c;
  c.name = std::move(name);
  c.bytes = std::move(bytes);
  c.width = width;
  c.height = height;
  c.finite = finite;
  return c;
}

// Header only, with the given geometry and BITPIX; no pixel data at all.
std::string headerOnly(const std::string& bitpix, const std::string& naxis1,
                       const std::string& naxis2) {
  return headerBlock(imageCards(bitpix, naxis1, naxis2));
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
  c += "= ";
  if (value.size() < 20) c.append(20 - value.size(), ' ');
  return card(c + value);
}

std::vector<std::string> imageCards(const std::string& bitpix, const std::string& naxis1,
                                    const std::string& naxis2) {
  return {valueCard("SIMPLE", "T"), valueCard("BITPIX", bitpix), valueCard("NAXIS", "2"),
          valueCard("NAXIS1", naxis1), valueCard("NAXIS2", naxis2)};
}

std::string padded(std::string bytes, char fill) {
  bytes.append((kBlock - bytes.size() % kBlock) % kBlock, fill);
  return bytes;
}

std::string samples16(const std::vector<int>& words) {
  std::string out;
  for (int w : words) putBigEndian(out, static_cast<uint32_t>(w) & 0xffffu, 2);
  return out;
}

std::string headerBlock(const std::vector<std::string>& cards) {
  std::string out;
  for (const auto& c : cards) out += c;
  out += card("END");
  return padded(out, ' ');
}

std::string validFrameBytes(int width, int bitpix, unsigned seed) {
  std::string data;
  for (int y = 0; y < width; ++y) {
    for (int x = 0; x < width; ++x) {
      const float v = starPixel(width, x, y, seed);
      if (bitpix == 8) {
        data.push_back(static_cast<char>(static_cast<int>(v / 100.0f) & 0xff));
      } else if (bitpix == 16) {
        putBigEndian(data, static_cast<uint32_t>(v), 2);
      } else {
        putBigEndian(data, std::bit_cast<uint32_t>(v), 4);
      }
    }
  }
  const std::string w = std::to_string(width);
  return headerBlock(imageCards(std::to_string(bitpix), w, w)) + padded(data);
}

std::vector<HostileCase> hostileCases() {
  std::vector<HostileCase> cases;
  const std::string good = validFrameBytes(128, 16, 7);
  const std::string goodHeader = good.substr(0, kBlock);

  // Not FITS at all, or a header that never ends.
  cases.push_back(fails("empty", "", kParseEnd));
  cases.push_back(fails("text_named_fits", "Observation notes\nseeing 1.2 arcsec\n", kParseEnd));
  cases.push_back(fails("header_cut_inside_card", good.substr(0, 4 * 80 + 33), kParseEnd));
  {
    auto cards = imageCards("16", "128", "128");
    std::string noEnd;
    for (const auto& c : cards) noEnd += c;
    cases.push_back(
        fails("no_end_card", padded(noEnd, ' ') + padded(std::string(32768, '\0')), kParseEnd));
  }
  // "END" appears, but never at the start of an 80-byte card.
  cases.push_back(
      fails("end_inside_card",
            padded(goodHeader.substr(0, 5 * 80) + card("COMMENT END") + card("        END"), ' '),
            kParseEnd));
  cases.push_back(fails("cards_shifted_by_three_bytes", "XYZ" + good, kParseEnd));
  // The end card is there but the file stops before its block is complete.
  cases.push_back(fails("last_block_cut", goodHeader.substr(0, 6 * 80 + 40), kParseBlock));
  cases.push_back(
      fails("lowercase_end", padded(goodHeader.substr(0, 5 * 80) + card("end"), ' '), kParseEnd));

  // Newline bytes make the line-based scan and the 80-byte card layout disagree.
  {
    std::string header = goodHeader;
    header[5 * 80 + 40] = '\n';  // inside the blank fill after END: the block ends early
    cases.push_back(loads("newline_after_end", header + good.substr(kBlock)));
  }
  {
    auto cards = imageCards("16", "128", "128");
    cards.insert(cards.begin() + 1, card("COMMENT written by a script\nwith a newline"));
    std::string header = headerBlock(cards);
    // The line read stops at the newline, so every later card is read out of step.
    cases.push_back(fails("newline_in_comment_card", header + good.substr(kBlock), kParseEnd));
  }
  {
    std::string header = goodHeader;
    // Each newline of the fill counts as a card, so the header ends long before its block does
    // and the pixel data is read from inside the fill.
    for (size_t i = 6 * 80; i < kBlock; ++i) header[i] = '\n';
    cases.push_back(loads("newlines_fill_last_block", header + good.substr(kBlock)));
  }
  {
    std::string header = goodHeader;
    header[5 * 80 + 3] = '\n';  // "END" followed by a newline is not an end card
    cases.push_back(fails("end_card_ends_in_newline", header + good.substr(kBlock), kParseEnd));
  }
  {
    std::string cards = valueCard("SIMPLE", "T");
    cards += std::string("BITPIX  =                   16\n");
    std::string bytes = cards + std::string(4000, '\n');
    cases.push_back(fails("newlines_only_after_bitpix", bytes, kParseEnd));
  }
  {
    std::string header = goodHeader;
    header[80 + 11] = '\0';  // NUL inside the BITPIX card's padding
    header[3 * 80] = '\0';   // and at the start of NAXIS1: that card is gone for the lookups
    cases.push_back(fails("nul_bytes_in_cards", header + good.substr(kBlock), kNaxis1));
  }

  // Geometry.
  cases.push_back(loads("naxis1_zero", headerOnly("16", "0", "128"), 0, 128));
  cases.push_back(loads("naxis2_zero", headerOnly("16", "128", "0"), 128, 0));
  cases.push_back(loads("naxis_both_zero", headerOnly("-32", "0", "0"), 0, 0));
  cases.push_back(fails("naxis1_negative", headerOnly("16", "-5", "128"),
                        "negative x size read from fits header\n"));
  cases.push_back(fails("naxis2_negative", headerOnly("16", "128", "-128"),
                        "negative y size read from fits header\n"));
  cases.push_back(fails("naxis1_min_int", headerOnly("16", "-2147483648", "128"),
                        "negative x size read from fits header\n"));
  cases.push_back(fails("naxis1_text", headerOnly("16", "'WIDE'", "128"), kNaxis1));
  cases.push_back(fails("naxis2_text", headerOnly("16", "128", "abc"), kNaxis2));
  cases.push_back(fails("naxis1_empty_value", headerOnly("16", "", "128"), kNaxis1));
  cases.push_back(fails("naxis1_missing",
                        headerBlock({valueCard("SIMPLE", "T"), valueCard("BITPIX", "16"),
                                     valueCard("NAXIS2", "128")}) +
                            good.substr(kBlock),
                        kNaxis1));
  cases.push_back(fails("naxis1_max_int", headerOnly("16", "2147483647", "1"), kFile16));
  cases.push_back(
      fails("naxis_max_int_both", headerOnly("-32", "2147483647", "2147483647"), kFloat32));
  // 65536 x 65536 is 2^32 samples: zero in 32-bit arithmetic.
  cases.push_back(
      fails("naxis_product_wraps_32_to_zero", headerOnly("8", "65536", "65536"), kFile8));
  // 46341^2 wraps to a negative 32-bit count.
  cases.push_back(
      fails("naxis_product_wraps_32_negative", headerOnly("16", "46341", "46341"), kFile16));
  // Values that would read as 128 if cut to 32 (or 64) bits.
  cases.push_back(fails("naxis1_wraps_32_bits", headerOnly("16", "4294967424", "128"), kNaxis1));
  cases.push_back(
      fails("naxis1_wraps_64_bits", headerOnly("16", "18446744073709551744", "128"), kNaxis1));
  cases.push_back(fails("naxis2_product_overflows_64_bits",
                        headerOnly("16", "128", "99999999999999999999999999"), kNaxis2));
  cases.push_back(loads("not_square_tall", headerOnly("16", "128", "256"), 128, 256));
  cases.push_back(loads("not_square_wide", headerOnly("16", "256", "128"), 256, 128));
  cases.push_back(loads("width_200", headerOnly("16", "200", "200"), 200, 200));
  cases.push_back(loads("width_64", validFrameBytes(64, 16, 3), 64, 64));

  // Sample formats.
  for (int bitpix : {0, 7, 32, 64, -64, -16}) {
    std::string name = "bitpix_" + std::string(bitpix < 0 ? "minus" : "") +
                       std::to_string(bitpix < 0 ? -bitpix : bitpix);
    cases.push_back(fails(
        name, headerOnly(std::to_string(bitpix), "128", "128") + std::string(128 * 128 * 8, '\x01'),
        unsupported(bitpix)));
  }
  cases.push_back(fails("bitpix_text", headerOnly("'SIXTEEN'", "128", "128"), kBitpix));
  cases.push_back(fails("bitpix_missing",
                        headerBlock({valueCard("SIMPLE", "T"), valueCard("NAXIS1", "128"),
                                     valueCard("NAXIS2", "128")}) +
                            good.substr(kBlock),
                        kBitpix));
  cases.push_back(loads("bzero_text", frame16With({valueCard("BZERO", "'zero'")},
                                                  std::vector<int>(128 * 128, 0x8123))));
  // BZERO beyond the float range, and as NaN, poisons every pixel.
  cases.push_back(loads("bzero_overflows_float",
                        frame16With({valueCard("BZERO", "1E39")}, std::vector<int>(16384, 1)), 128,
                        128, false));
  cases.push_back(loads("bzero_nan",
                        frame16With({valueCard("BZERO", "NAN")}, std::vector<int>(16384, 5)), 128,
                        128, false));

  // Pixel data.
  cases.push_back(loads("data_cut_short", good.substr(0, kBlock + 128 * 60 * 2 + 1)));
  cases.push_back(loads("data_missing", goodHeader));
  cases.push_back(loads("float_nan", floatFrameWith(std::numeric_limits<float>::quiet_NaN(), 997),
                        128, 128, false));
  cases.push_back(loads("float_infinities",
                        floatFrameWith(std::numeric_limits<float>::infinity(), 4001), 128, 128,
                        false));
  cases.push_back(loads("float_minus_infinity",
                        floatFrameWith(-std::numeric_limits<float>::infinity(), 16000), 128, 128,
                        false));
  cases.push_back(loads("float_denormals", floatFrameWith(1e-42f, 3)));
  cases.push_back(loads("float_largest", floatFrameWith(std::numeric_limits<float>::max(), 1)));
  cases.back().tooLarge = true;
  // Around the largest magnitude a frame may have: 2^40 is refused, just below it is not.
  cases.push_back(loads("float_at_magnitude_limit", floatFrameWith(-0x1p40f, 1000)));
  cases.back().tooLarge = true;
  cases.push_back(loads("float_below_magnitude_limit", floatFrameWith(0x1.fffffep39f, 1000)));
  // 16-bit samples shifted by BZERO: 2^40 is refused like a float pixel of that size, 2^39
  // (plus the largest signed sample) is not.
  cases.push_back(
      loads("bzero_at_magnitude_limit",
            frame16With({valueCard("BZERO", "1099511627776")}, std::vector<int>(16384, 0))));
  cases.back().tooLarge = true;
  cases.push_back(
      loads("bzero_below_magnitude_limit",
            frame16With({valueCard("BZERO", "549755813888")}, std::vector<int>(16384, 0x7fff))));
  cases.push_back(loads("bits8_extremes", [] {
    std::string data;
    for (int i = 0; i < 128 * 128; ++i) data.push_back(static_cast<char>(i % 2 ? 0xff : 0x00));
    return headerBlock(imageCards("8", "128", "128")) + padded(data);
  }()));
  cases.push_back(loads("bits16_extremes_unsigned", [] {
    std::vector<int> words;
    for (int i = 0; i < 128 * 128; ++i)
      words.push_back(i % 3 == 0 ? 0xffff : (i % 3 == 1 ? 0 : 0x8000));
    return frame16With({}, words);
  }()));
  cases.push_back(loads("bits16_extremes_bzero", [] {
    std::vector<int> words;
    for (int i = 0; i < 128 * 128; ++i) words.push_back(i % 2 ? 0x7fff : 0x8000);
    return frame16With({valueCard("BZERO", "32768")}, words);
  }()));

  // Structure.
  {
    std::vector<std::string> cards = imageCards("16", "128", "128");
    for (int i = 0; i < 80; ++i) cards.push_back(card("COMMENT padding card " + std::to_string(i)));
    cases.push_back(loads("several_header_blocks", headerBlock(cards) + good.substr(kBlock)));
  }
  {
    // 35 cards, so END is the 36th and last of the first block.
    std::vector<std::string> cards = imageCards("16", "128", "128");
    while (cards.size() < 35) cards.push_back(card("HISTORY filler"));
    cases.push_back(loads("end_is_last_card_of_block", headerBlock(cards) + good.substr(kBlock)));
  }
  {
    std::string extension =
        headerBlock({valueCard("XTENSION", "'IMAGE   '"), valueCard("BITPIX", "-64"),
                     valueCard("NAXIS", "2"), valueCard("NAXIS1", "4096"),
                     valueCard("NAXIS2", "4096")}) +
        padded(std::string(3000, '\x7f'));
    cases.push_back(loads("extension_after_image", good + extension));
  }
  {
    auto cards = imageCards("16", "128", "128");
    cards[2] = valueCard("NAXIS", "3");
    cards.push_back(valueCard("NAXIS3", "3"));
    cases.push_back(loads("cube_of_three_planes", headerBlock(cards) + good.substr(kBlock) +
                                                      good.substr(kBlock) + good.substr(kBlock)));
  }
  {
    // The first matching card wins: a duplicate NAXIS1 further down is never seen.
    auto cards = imageCards("16", "128", "128");
    cards.push_back(valueCard("NAXIS1", "1000000"));
    cases.push_back(loads("duplicate_naxis1", headerBlock(cards) + good.substr(kBlock)));
  }
  {
    auto cards = imageCards("16", "128", "128");
    cards.push_back(valueCard("QZCOM1", "'mstack 99999999999 nexp -7 exptotal nan'"));
    cards.push_back(valueCard("OBJCTALT", "'1e999'"));
    cards.push_back(valueCard("EXPTIME", "-1e45"));
    cards.push_back(
        card("FILTER  = '''''''''''''''''''''''''''''''''''''''''''''''''''''''''''''''''''''''"));
    cases.push_back(
        loads("hostile_descriptive_keywords", headerBlock(cards) + good.substr(kBlock)));
  }

  for (auto& c : cases) c.fileName = c.name + ".fits";

  HostileCase directory;
  directory.name = "directory_named_fits";
  directory.fileName = "x.fits";
  directory.kind = EntryKind::kDirectory;
  cases.push_back(directory);
  HostileCase loop;
  loop.name = "symlink_loop_named_fits";
  loop.fileName = "y.fits";
  loop.kind = EntryKind::kSymlinkLoop;
  cases.push_back(loop);
  return cases;
}

std::filesystem::path materialize(const HostileCase& hostile, const std::filesystem::path& dir) {
  const std::filesystem::path path = dir / hostile.fileName;
  switch (hostile.kind) {
    case EntryKind::kDirectory:
      std::filesystem::create_directory(path);
      break;
    case EntryKind::kSymlinkLoop:
      std::filesystem::create_symlink(hostile.fileName, path);
      break;
    case EntryKind::kFile: {
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out.write(hostile.bytes.data(), static_cast<std::streamsize>(hostile.bytes.size()));
      if (!out) throw std::runtime_error("cannot write " + path.string());
      break;
    }
  }
  return path;
}

}  // namespace korrin::test
