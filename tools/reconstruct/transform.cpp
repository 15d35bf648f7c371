#include "tools/reconstruct/transform.h"

#include <fftw3.h>

#include <mutex>
#include <new>

namespace korrin::reconstruct {

namespace {

// FFTW's planner keeps global state; plans are made and destroyed under this lock, while
// executing a plan on its own buffer needs none.
std::mutex& plannerMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

std::vector<std::complex<double>> inverseTransform(
    int width, const std::vector<std::complex<double>>& centred) {
  const std::size_t w = static_cast<std::size_t>(width);
  const std::size_t half = w / 2;
  auto* data = static_cast<fftw_complex*>(fftw_malloc(sizeof(fftw_complex) * w * w));
  if (data == nullptr) throw std::bad_alloc();
  fftw_plan plan;
  {
    std::lock_guard lock(plannerMutex());
    plan = fftw_plan_dft_2d(width, width, data, data, FFTW_BACKWARD, FFTW_ESTIMATE);
  }
  // Centred to FFTW order: frequency f goes to index f mod W along each axis.
  for (std::size_t row = 0; row < w; ++row) {
    for (std::size_t col = 0; col < w; ++col) {
      const std::complex<double> v = centred[row * w + col];
      const std::size_t at = ((row + half) % w) * w + (col + half) % w;
      data[at][0] = v.real();
      data[at][1] = v.imag();
    }
  }
  fftw_execute(plan);
  std::vector<std::complex<double>> image(w * w);
  for (std::size_t i = 0; i < w * w; ++i) image[i] = {data[i][0], data[i][1]};
  {
    std::lock_guard lock(plannerMutex());
    fftw_destroy_plan(plan);
  }
  fftw_free(data);
  return image;
}

}  // namespace korrin::reconstruct
