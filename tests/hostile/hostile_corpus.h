// Hostile FITS inputs: files written by broken cameras, capture programs, scripts and attackers.
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
};

struct HostileCase {
  std::string name;      // unique, usable as a test and file name
  std::string fileName;  // the entry's name inside a capture directory
  EntryKind kind = EntryKind::kFile;
  std::string bytes;

  // What the reader makes of the file.
  bool loads = true;
  // Standard error of a failed load; "<PATH>" stands for the frame path.
  std::string readerMessage;
  int width = 128;
  int height = 128;
  bool finite = true;  // every pixel a finite number once loaded
  // Finite pixels of 2^40 or more, whose bispectrum terms would overflow: refused.
  bool tooLarge = false;
};

std::vector<HostileCase> hostileCases();

// A well-formed width x width frame of the given BITPIX (8, 16 or -32) with a star near the
// centre; `seed` varies the pattern.
std::string validFrameBytes(int width, int bitpix, unsigned seed);

// 80-byte card, and a "NAME    = value" card with the value right-aligned in columns 11-30.
std::string card(const std::string& text);
std::string valueCard(const std::string& name, const std::string& value);
// SIMPLE, BITPIX, NAXIS = 2, NAXIS1 and NAXIS2, each value given as its raw text.
std::vector<std::string> imageCards(const std::string& bitpix, const std::string& naxis1,
                                    const std::string& naxis2);
// The cards, an END card and blank cards up to the next 2880-byte boundary.
std::string headerBlock(const std::vector<std::string>& cards);
// `bytes` filled up to the next 2880-byte boundary; big-endian 16-bit samples.
std::string padded(std::string bytes, char fill = '\0');
std::string samples16(const std::vector<int>& words);

// Creates the case's entry in `dir` and returns its path.
std::filesystem::path materialize(const HostileCase& hostile, const std::filesystem::path& dir);

}  // namespace korrin::test
