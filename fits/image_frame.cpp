#include "fits/image_frame.h"

#include <cstring>

namespace korrin {

namespace {

constexpr int32_t kPixelFormatMono8 = 7;
constexpr int32_t kPixelFormatMonoFloat = 8;

// Frame text fields are one byte shorter than the reader's; card values never come close.
void copyFrameText(char* dest, const char* source) {
  const size_t length = strnlen(source, kFrameTextSize - 1);
  std::memcpy(dest, source, length);
  dest[length] = '\0';
}

void copyIfPresent(char* dest, const char* source) {
  if (source[0] != '\0') copyFrameText(dest, source);
}

}  // namespace

ImageFrame* initFrame(ImageFrame* frame) {
  frame->width = 0;
  frame->height = 0;
  frame->bytesPerPixel = 1;
  frame->pixelCount = 0;
  frame->byteSize = 0;
  frame->bytesPerSample = 1;
  frame->channels = 1;
  frame->pixelFormat = kPixelFormatMono8;
  frame->pixels = nullptr;
  frame->externalPixels = true;
  frame->exposure = 0.0f;
  frame->exposureCount = 1;
  frame->totalExposure = 0.0f;
  frame->raText[0] = '\0';
  frame->decText[0] = '\0';
  frame->filterName[0] = '\0';
  frame->julianDateText[0] = '\0';
  frame->airmass = 0.0f;
  frame->imageType[0] = '\0';
  frame->gain = 0.0f;
  frame->readNoise = 0.0f;
  frame->darkCurrent = 0.0f;
  frame->peakX = 0.0f;
  frame->peakY = 0.0f;
  frame->peakValue = 0.0f;
  frame->mean = 0.0f;
  frame->sigma = 0.0f;
  frame->threshold = 0.0f;
  frame->rowStride = 0;
  frame->focusPosition = 0;
  initFitsInfo(&frame->fits);
  initFitsInfo(&frame->fitsSpare);
  return frame;
}

namespace {

int loadFrameFrom(ImageFrame* frame, const char* path, const FitsSampleTarget* target) {
  FitsInfo* fits = &frame->fits;
  initFitsInfo(fits);
  const int result = target == nullptr ? readFits(path, fits) : readFitsInto(path, fits, *target);
  if (result < 0) return result;
  if (result == 2) {
    // Another size than the caller takes: only the geometry is known, nothing was read.
    frame->width = fits->naxis1;
    frame->height = fits->naxis2;
    return 2;
  }
  const bool decodedIntoTarget = target != nullptr && result == 1;

  frame->width = fits->naxis1;
  frame->height = fits->naxis2;
  frame->pixelFormat = kPixelFormatMonoFloat;
  frame->bytesPerSample = 4;
  frame->channels = 1;
  frame->bytesPerPixel = 4;
  // The reader refuses any image whose float buffer exceeds 2^31 - 1 bytes, so these fit.
  frame->pixelCount = static_cast<int32_t>(int64_t{frame->width} * frame->height);
  frame->byteSize = static_cast<int32_t>(int64_t{frame->pixelCount} * 4);
  frame->rowStride = static_cast<int32_t>(int64_t{frame->width} * 4);
  frame->exposure = 0.0f;
  frame->raText[0] = '\0';
  frame->decText[0] = '\0';
  frame->filterName[0] = '\0';
  frame->peakX = 0.0f;
  frame->peakY = 0.0f;
  frame->peakValue = 0.0f;
  frame->externalPixels = true;

  if (decodedIntoTarget) {
    frame->pixels = target->pixels;
  } else if (frame->byteSize != 0) {
    // Throws std::bad_alloc on exhaustion; the value-initialisation zero-fills the block.
    frame->pixels = new float[static_cast<size_t>(frame->pixelCount)]();
    frame->externalPixels = false;
    std::memcpy(frame->pixels, fits->floatArray, static_cast<size_t>(frame->byteSize));
  }

  frame->exposure = fits->exposure;
  frame->airmass = fits->airmass;
  frame->gain = fits->gain;
  frame->readNoise = fits->readNoise;
  frame->darkCurrent = fits->darkCurrent;
  frame->focusPosition = fits->focusPosition;
  copyIfPresent(frame->raText, fits->objectRa);
  copyIfPresent(frame->decText, fits->objectDec);
  copyIfPresent(frame->filterName, fits->filter);
  copyIfPresent(frame->julianDateText, fits->julianDate);
  copyIfPresent(frame->imageType, fits->imageType);

  // Stacked captures summarise themselves in QZCOM1; the stack count itself is not kept, and a
  // partial match assigns only the fields before the mismatch.
  if (fits->comment1[0] != '\0') {
    scanText(fits->comment1, "mstack %*d nexp %d exptotal %f", &frame->exposureCount,
             &frame->totalExposure);
  }

  releaseFitsRecords(frame);
  return 0;
}

}  // namespace

int loadFrame(ImageFrame* frame, const char* path) {
  return loadFrameFrom(frame, path, nullptr);
}

int loadFrameInto(ImageFrame* frame, const char* path, const FitsSampleTarget& target) {
  return loadFrameFrom(frame, path, &target);
}

void releaseFitsRecords(ImageFrame* frame) {
  releaseFitsInfo(&frame->fits);
  releaseFitsInfo(&frame->fitsSpare);
}

void releaseFrame(ImageFrame* frame) {
  if (!frame->externalPixels) delete[] frame->pixels;
  frame->pixels = nullptr;
  frame->externalPixels = true;
  releaseFitsRecords(frame);
}

}  // namespace korrin
