// One loaded frame as the rest of the program sees it: geometry, float pixels owned by the frame,
// a few descriptive header values and the statistics that masking writes.
#pragma once

#include <cstdint>

#include "fits/fitsio.h"

namespace korrin {

inline constexpr int kFrameTextSize = 80;

// Plain data on purpose: callers clear the whole record to zero bytes before initFrame, once per
// file, so nothing of one file can leak into the next.
struct ImageFrame {
  int32_t width;
  int32_t height;
  int32_t bytesPerPixel;
  int32_t pixelCount;
  int32_t byteSize;
  int32_t bytesPerSample;
  int32_t channels;
  int32_t pixelFormat;  // 7: 8-bit samples, 8: 32-bit float samples
  float* pixels;        // row-major, pixel (x, y) at y * width + x
  bool externalPixels;  // true: `pixels` is not owned by the frame
  float exposure;
  int32_t exposureCount;
  float totalExposure;
  char raText[kFrameTextSize];
  char decText[kFrameTextSize];
  char filterName[kFrameTextSize];
  char julianDateText[kFrameTextSize];
  float airmass;
  char imageType[kFrameTextSize];
  float gain;
  float readNoise;
  float darkCurrent;
  float peakX;
  float peakY;
  float peakValue;
  float mean;
  float sigma;
  float threshold;
  int32_t rowStride;
  int32_t focusPosition;
  FitsInfo fits;
  FitsInfo fitsSpare;

  // Background mean and sigma from a sparse sample of the outer region (spectral/frame_stats.cpp).
  void backgroundStatistics();
  // Repairs isolated hot pixels and finds the smoothed maximum (spectral/frame_stats.cpp).
  void findPeak();
};

ImageFrame* initFrame(ImageFrame* frame);
// 0 on success, otherwise the reader's negative code (its message is already written).
int loadFrame(ImageFrame* frame, const char* path);
// loadFrame for a caller that keeps buffers from frame to frame: an image of the target's size
// is decoded straight into target.pixels, which the frame then uses without owning; any other
// image is loaded exactly as loadFrame loads it. Same result, fields and messages otherwise.
// With target.onlyThisSize, an image of another size returns 2 with only `width` and `height`
// set and no pixels.
int loadFrameInto(ImageFrame* frame, const char* path, const FitsSampleTarget& target);
void releaseFitsRecords(ImageFrame* frame);
void releaseFrame(ImageFrame* frame);

}  // namespace korrin
