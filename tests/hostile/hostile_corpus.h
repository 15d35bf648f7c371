// Hostile FITS inputs: files written by broken cameras, capture programs, scripts and attackers,
// kept as a table of header edits, pixel data and byte edits from which one builder makes them.
//
// Self-contained (standard library only) so that the fuzz build, which has neither GoogleTest nor
// cfitsio, can use the same files as seeds.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace korrin::test {

enum class EntryKind {
  kFile,         // bytes written to a regular file
  kDirectory,    // a directory carrying a frame's name
  kSymlinkLoop,  // a symbolic link that points at itself
  kFifo,         // a named pipe carrying a frame's name (no writer: opening it may block)
};

struct HostileCase {
  std::string name;      // unique, usable as a test name
  std::string fileName;  // the entry's name inside a capture directory
  EntryKind kind = EntryKind::kFile;
  std::string bytes{};
  // What the reader makes of the file: its standard error when it refuses it ("<PATH>" stands for
  // the frame path), otherwise the geometry it loads and why a worker skips the frame all the same
  // (": non-finite pixel values", ": pixel values too large"; empty when it is added).
  std::string readerMessage{};
  int width = 128;
  int height = 128;
  std::string skipReason{};

  bool loads() const { return readerMessage.empty(); }
};

std::vector<HostileCase> hostileCases();

// A header of 80-byte cards padded with blanks to whole 2880-byte blocks, written as edits of the
// standard 128 x 128 16-bit image header (SIMPLE = T, BITPIX = 16, NAXIS = 2, NAXIS1 = 128,
// NAXIS2 = 128, END). Edits are separated by '|': "KEY=VALUE" sets that card's value (the card is
// added before END when missing), "+KEY=VALUE" adds one even when there is one, "-KEY" removes
// it, and any other text is a card as written, added before END ("TEXT*N": N such cards).
std::string header(const std::string& edits);

// A well-formed width x width frame of the given BITPIX (8, 16 or -32) with a star near the
// centre; `seed` varies the pattern.
std::string validFrameBytes(int width, int bitpix, unsigned seed);

// One 80-byte card; "NAME    = value" with the value right-aligned in columns 11-30.
std::string card(const std::string& text);
std::string valueCard(const std::string& name, const std::string& value);
// `bytes` filled up to the next 2880-byte boundary; big-endian 16-bit samples.
std::string padded(std::string bytes, char fill = '\0');
std::string samples16(const std::vector<int>& words);

// Creates the case's entry in `dir` and returns its path.
std::filesystem::path materialize(const HostileCase& hostile, const std::filesystem::path& dir);

}  // namespace korrin::test
