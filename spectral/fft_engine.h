// Per-width FFT engine: owns the aligned input image, the half spectrum and one measured FFTW plan,
// and spreads the half spectrum into full centred real/imaginary arrays.
#pragma once

#include <fftw3.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace korrin {

// FFTW's planner keeps process-wide state; every plan creation and destruction holds this lock.
extern std::mutex plannerMutex;

class BaseFFT {
 public:
  BaseFFT() = default;
  BaseFFT(const BaseFFT&) = delete;
  BaseFFT& operator=(const BaseFFT&) = delete;
  virtual ~BaseFFT();

  virtual int width() = 0;
  virtual void powerImage(bool zeroDc) = 0;
  virtual void autocorrelationImage() = 0;
  virtual void forward(std::vector<float>& re, std::vector<float>& im, bool zeroDc) = 0;
  // 2: power image with zeroDc, 3: autocorrelation image, anything else: nothing.
  virtual void makeImage(int mode);
  virtual void loadU16(const uint16_t* pixels) = 0;
  virtual void loadFloat(const float* pixels) = 0;
  virtual void loadRandom() = 0;
  virtual void toDisplay16(uint16_t* out, int, int, float lowFraction, float highFraction) = 0;
  virtual void copyInput(float* out, bool normalise) = 0;
  virtual void loadInput(std::string path) = 0;
  virtual void saveInput(std::string path) = 0;
};

// Width is 128, 256, 512 or 1024; Variant is always 0; Mutex is std::mutex.
template <int Width, int Variant, class Mutex>
class FFT final : public BaseFFT {
 public:
  static constexpr int kPixels = Width * Width;
  static constexpr int kHalfColumns = Width / 2 + 1;

  FFT();
  ~FFT() override;

  int width() override { return Width; }
  void powerImage(bool zeroDc) override;
  void autocorrelationImage() override;
  void forward(std::vector<float>& re, std::vector<float>& im, bool zeroDc) override;
  void loadU16(const uint16_t* pixels) override;
  void loadFloat(const float* pixels) override;
  void loadRandom() override;
  void toDisplay16(uint16_t* out, int, int, float lowFraction, float highFraction) override;
  void copyInput(float* out, bool normalise) override;
  void loadInput(std::string path) override;
  void saveInput(std::string path) override;

  // The frame step's post-transform work in one pass over the half spectrum: transforms input,
  // writes the centred spectrum scaled by 1/(W*W) into re and im and adds its power into power.
  // Bit-identical to forward(re, im, false), scaleSpectrum<Width> and accumulatePower.
  void forwardScaledPower(std::vector<float>& re, std::vector<float>& im,
                          std::vector<float>& power);

  // The frame step's power for a caller that reads the spectrum itself: transforms input and adds
  // the power of the scaled spectrum into halfPower, Width x (Width/2 + 1) floats indexed like
  // the half spectrum. Every centred frequency's value equals that of its half-spectrum source
  // ((-b)*(-b) is b*b), so sums kept this way and spread by spreadHalfPower are bit-identical to
  // those of forwardScaledPower, at less than half the memory traffic.
  void forwardHalfPower(float* halfPower);
  // Writes sums kept by forwardHalfPower into the centred Width x Width layout of power.
  static void spreadHalfPower(const float* halfPower, std::vector<float>& power);

  // Direct access for code that fills or reads the buffers in bulk (the frame worker, tools).
  float* inputData() { return input; }
  const fftwf_complex* spectrumData() const { return spectrum; }

 private:
  // Transforms input, optionally zeroes the DC term, and hands every centred position k its
  // value: put(k, a, b) for the half spectrum's own frequencies, put(k, a, -b) for their mirrors.
  template <class Put>
  void transformCentred(Put put, bool zeroDc);
  template <class ValueOf>
  void spectrumImage(ValueOf valueOf, bool zeroDc);

  Mutex* mutex;
  float* input;
  fftwf_complex* spectrum;
  fftwf_plan plan;
  float rangeLow;
  float rangeHigh;
};

extern template class FFT<128, 0, std::mutex>;
extern template class FFT<256, 0, std::mutex>;
extern template class FFT<512, 0, std::mutex>;
extern template class FFT<1024, 0, std::mutex>;

}  // namespace korrin
