// Writes the hostile corpus (and well-formed frames of each BITPIX) into a directory: seeds for
// the fuzz targets and material for looking at a case by hand.
#include <cstdio>
#include <filesystem>

#include "tests/hostile/hostile_corpus.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
    return 1;
  }
  using namespace korrin::test;
  std::vector<HostileCase> files = hostileCases();
  std::erase_if(files, [](const HostileCase& c) { return c.kind != EntryKind::kFile; });
  for (int bitpix : {8, 16, -32}) {
    const std::string name = "valid_128_bitpix" + std::to_string(bitpix);
    files.push_back({name, name + ".fits", EntryKind::kFile, validFrameBytes(128, bitpix, 1)});
  }
  try {
    std::filesystem::create_directories(argv[1]);
    for (const auto& file : files) materialize(file, argv[1]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  std::printf("%zu files in %s\n", files.size(), argv[1]);
  return 0;
}
