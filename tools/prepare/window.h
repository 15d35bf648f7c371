// Where each output frame's window sits in the input frame. Moving a window by whole pixels
// changes neither the power spectrum nor the bispectrum of the star it holds, so the window may
// follow the speckle cloud from frame to frame; what it must not do is cut the cloud off.
#pragma once

#include <cstdint>

namespace korrin::prepare {

struct Centroid {
  bool found = false;  // false: no pixel stands out of the background
  double x = 0;        // column
  double y = 0;        // row
};

// Background: the median of a sparse sample of the frame, its spread from the sample's median
// absolute deviation. The centroid is that of the pixels more than five spreads above the
// background, each weighted by its height above it.
Centroid speckleCentroid(const float* pixels, int width, int height);

struct Window {
  int x0 = 0;                // first column
  int y0 = 0;                // first row
  bool movedInside = false;  // the centred window would have left the frame
};

// The size x size window centred on (cx, cy) (rounded to the pixel, the centre being pixel
// size/2 of the window), moved inside the frame where it would stick out.
Window placeWindow(double cx, double cy, int width, int height, int size);

// Copies the window's size x size pixels, row 0 first.
void cropWindow(const float* pixels, int width, const Window& window, int size, float* out);

}  // namespace korrin::prepare
