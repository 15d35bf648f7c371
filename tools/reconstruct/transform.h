// The one transform the reconstruction needs: from a centred spectrum back to the image plane.
#pragma once

#include <complex>
#include <vector>

namespace korrin::reconstruct {

// The image whose spectrum, in the result file's convention (forward transform with
// exp(-2 pi i f.x / W)), is `centred` (W x W, frequency (fx, fy) at (fy + W/2) * W + fx + W/2):
// image(x, y) = sum over f of S(f) exp(+2 pi i (fx x + fy y) / W), without a 1/W^2 factor.
// Row-major, x the column and y the row, lag or pixel (0, 0) first.
std::vector<std::complex<double>> inverseTransform(
    int width, const std::vector<std::complex<double>>& centred);

}  // namespace korrin::reconstruct
