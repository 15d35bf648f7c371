// A capture is listed in the file system's order; tests that need a given frame to be the run's
// first (its width probe) rename it until the listing delivers it first.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "app/capture_scan.h"

namespace korrin::test {

// The frame's final path, or an empty path when no name tried was listed first.
inline std::filesystem::path listedFirst(const std::filesystem::path& capture,
                                         std::filesystem::path frame) {
  const std::string dir = capture.string() + "/";
  for (int attempt = 0; attempt < 4000; ++attempt) {
    std::vector<std::string> files;
    std::string reason;
    findFitsFiles(dir, files, reason);
    if (!files.empty() && files.front() == dir + frame.filename().string()) return frame;
    // Appended piecewise: GCC 12 warns falsely (-Wrestrict) on a literal + std::to_string.
    std::string name = "a";
    name += std::to_string(attempt);
    name += "_1.fits";
    std::filesystem::rename(frame, capture / name);
    frame = capture / name;
  }
  return {};
}

}  // namespace korrin::test
