// Star-mask geometry: the star's full disc, computed once per slot, and a random fringe around it
// drawn anew on every rebuild.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace korrin {

class StarAnnulus {
 public:
  static constexpr int32_t kDiscCapacity = 1000000;

  StarAnnulus();
  StarAnnulus(const StarAnnulus&) = delete;
  StarAnnulus& operator=(const StarAnnulus&) = delete;

  void init(int width, int height, int radius, int gap);

  // Replaces keepOffsets by the disc plus a fresh random fringe, sorted ascending and free of
  // duplicates. Seeds a new mt19937 from std::random_device on every call.
  void buildMask(std::vector<int>& keepOffsets) const;
  // The same with a given seed, so that tests can reproduce a fringe.
  void buildMask(std::vector<int>& keepOffsets, uint32_t seed) const;

  int32_t radius = 0;
  int32_t gap = 0;
  std::unique_ptr<int32_t[]> disc;  // kDiscCapacity entries, discCount of them valid
  int32_t discCount = 0;
  int32_t width = 0;
  int32_t height = 0;
};

}  // namespace korrin
