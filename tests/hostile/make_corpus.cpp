// Writes the hostile corpus (and a few well-formed frames) into a directory: seeds for the fuzz
// targets and material for looking at a case by hand.
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "tests/hostile/hostile_corpus.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
    return 1;
  }
  namespace fs = std::filesystem;
  const fs::path dir(argv[1]);
  std::error_code ec;
  fs::create_directories(dir, ec);
  int written = 0;
  try {
    for (const auto& hostile : korrin::test::hostileCases()) {
      if (hostile.kind != korrin::test::EntryKind::kFile) continue;
      korrin::test::materialize(hostile, dir);
      ++written;
    }
    for (int bitpix : {8, 16, -32}) {
      korrin::test::HostileCase valid;
      valid.fileName = "valid_128_bitpix" + std::to_string(bitpix) + ".fits";
      valid.bytes = korrin::test::validFrameBytes(128, bitpix, 1);
      korrin::test::materialize(valid, dir);
      ++written;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  std::printf("%d files in %s\n", written, dir.string().c_str());
  return 0;
}
