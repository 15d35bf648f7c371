#include "run/calc_krn.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <future>
#include <iostream>
#include <limits>
#include <memory>

#include "fits/image_frame.h"
#include "result/result_file.h"
#include "run/frame_worker.h"
#include "spectral/bispectrum.h"

namespace korrin {

namespace {

bool supportedWidth(int width) {
  return width == 128 || width == 256 || width == 512 || width == 1024;
}

// Width of the first frame, or -1 when it cannot be loaded. Only the width is kept: the frame's
// worker loads the file again. The header comes first, so that the pixels of a frame that
// cannot be used (a header claiming gigapixels) are never allocated.
int probeWidth(const std::string& path) {
  FitsInfo header;
  initFitsInfo(&header);
  const bool headerRead = readFitsHeader(path.c_str(), &header) == 0;
  const int headerWidth = header.naxis1;
  const bool square = header.naxis2 == headerWidth;
  releaseFitsInfo(&header);
  if (headerRead && (!supportedWidth(headerWidth) || !square)) return headerWidth;

  ImageFrame frame;
  std::memset(&frame, 0, sizeof frame);
  initFrame(&frame);
  int width = -1;
  if (!headerRead || loadFrame(&frame, path.c_str()) < 0) {
    std::cout << "Error loading " << path << "\n";
  } else {
    width = frame.width;
    releaseFitsRecords(&frame);
  }
  releaseFrame(&frame);
  return width;
}

// The accumulation reads F(u), F(v) and F(-(u+v)) inside the width x width spectrum only when
// kmax and dkmax lie within 0 .. W/2 - 1. Any mask radius is fine: the mask's own work is
// bounded however large it is.
bool optionsFitWidth(int width, int kmax, int dkmax) {
  const int limit = width / 2 - 1;
  const auto refuse = [&](const char* name, int value, int high) {
    std::cout << name << " " << value << " is out of range 0.." << high << " for " << width << "x"
              << width << " frames\n";
    return false;
  };
  if (kmax < 0 || kmax > limit) return refuse("kmax", kmax, limit);
  if (dkmax < 0 || dkmax > limit) return refuse("dkmax", dkmax, limit);
  const int64_t elements = bispectrumSize(kmax, dkmax);
  if (elements > std::numeric_limits<int32_t>::max()) {
    std::cout << "kmax " << kmax << " and dkmax " << dkmax << " give " << elements
              << " bispectrum elements, more than " << std::numeric_limits<int32_t>::max() << "\n";
    return false;
  }
  return true;
}

}  // namespace

std::vector<std::vector<std::string>> dealShares(const std::vector<std::string>& files,
                                                 int nthreads) {
  std::vector<std::vector<std::string>> shares(static_cast<size_t>(std::max(nthreads, 0)));
  const size_t shareCount = std::min(files.size(), shares.size());
  // Dealt out in turn, so every share gets an equal number of frames within one.
  for (size_t i = 0; i < files.size(); ++i) shares[i % shareCount].push_back(files[i]);
  return shares;
}

namespace {

// Zeroed sums for one slot. Done inside the tasks (see launchTasks), not up front: first touching
// tens of megabytes is slow enough (page faults) that doing it for every slot before starting
// any task delayed all work.
void prepareSlot(size_t elements, size_t pixels, std::vector<float>& re, std::vector<float>& im,
                 std::vector<float>& bispRe, std::vector<float>& bispIm,
                 std::vector<float>& power) {
  bispRe.assign(elements, 0.0f);
  bispIm.assign(elements, 0.0f);
  re.assign(pixels, 0.0f);
  im.assign(pixels, 0.0f);
  power.assign(pixels, 0.0f);
}

}  // namespace

template <int Width>
void launchTasks(const std::vector<std::string>& files, int nthreads, int kmax, int dkmax,
                 int maskRadius, int maskInterval, SlotVectors& re, SlotVectors& im,
                 SlotVectors& bispRe, SlotVectors& bispIm, SlotVectors& power,
                 std::vector<StarAnnulus>& annuli) {
  const std::vector<std::vector<std::string>> shares = dealShares(files, nthreads);
  const size_t shareCount = std::min(files.size(), shares.size());
  const auto elements = static_cast<size_t>(bispectrumSize(kmax, dkmax));
  const size_t pixels = size_t{Width} * Width;

  std::vector<std::unique_ptr<FrameWorker<Width>>> workers;
  workers.reserve(shareCount);
  for (size_t s = 0; s < shareCount; ++s) {
    workers.push_back(std::make_unique<FrameWorker<Width>>(
        kmax, dkmax, re[s], im[s], bispRe[s], bispIm[s], power[s], defaultKernelPath()));
  }
  const auto prepare = [&](size_t s) {
    prepareSlot(elements, pixels, re[s], im[s], bispRe[s], bispIm[s], power[s]);
    workers[s]->prepareSums();
  };
  // Planning holds the one planner lock for about 0.1 s, and every later worker's plan comes
  // from the first one's measurements almost at once. So the first task plans straight away
  // while the second prepares the first's memory before its own: the page faults of both slots
  // are taken while the planner runs, not before or after it. The promise hands slot 0 over (or
  // the exception that stopped its preparation, so the first task cannot wait for ever).
  const bool handOver = shareCount >= 2;
  std::promise<void> firstPrepared;
  std::future<void> firstReady = firstPrepared.get_future();

  // A future of std::async waits for its task when destroyed, so every task has ended before an
  // exception taken from one of them leaves this function (or the promise above is destroyed).
  std::vector<std::future<void>> tasks;
  tasks.reserve(shareCount);
  for (size_t s = 0; s < shareCount; ++s) {
    auto task = [&, s] {
      if (handOver && s == 0) {
        workers[0]->prepareEngine();
        firstReady.get();
      } else {
        if (handOver && s == 1) {
          try {
            prepare(0);
            firstPrepared.set_value();
          } catch (...) {
            firstPrepared.set_exception(std::current_exception());
            throw;
          }
        }
        prepare(s);
        workers[s]->prepareEngine();
      }
      workers[s]->run(shares[s], maskRadius, maskInterval, annuli[s]);
      workers[s].reset();
    };
    try {
      tasks.push_back(std::async(std::launch::async, task));
    } catch (...) {
      // No thread for the second task: the first would wait for slot 0 for ever, and leaving
      // here waits for the first.
      if (handOver && s == 1) firstPrepared.set_exception(std::current_exception());
      throw;
    }
  }
  // Slots without a share (fewer files than threads) still take part in the merge.
  for (size_t s = shareCount; s < re.size(); ++s) {
    prepareSlot(elements, pixels, re[s], im[s], bispRe[s], bispIm[s], power[s]);
  }
  for (auto& task : tasks) task.get();
}

int calcKRN(const std::vector<std::string>& files, int nthreads, int kmax, int dkmax,
            int maskRadius, int maskInterval, std::string outPath) {
  const auto slots = static_cast<size_t>(nthreads);
  SlotVectors re(slots), im(slots), power(slots), bispRe(slots), bispIm(slots);
  std::vector<StarAnnulus> annuli(slots);

  const int width = probeWidth(files[0]);
  if (!supportedWidth(width)) {
    std::cout << "Unsupported image width " << width << "\n";
    return -1;
  }
  if (!optionsFitWidth(width, kmax, dkmax)) return -1;
  std::cout << "Using " << width << "x" << width << " FFT\n";

  const int annulusRadius = std::max(maskRadius, 0);
  for (size_t t = 0; t < slots; ++t) annuli[t].init(width, width, annulusRadius, annulusRadius);

  switch (width) {
    case 128:
      launchTasks<128>(files, nthreads, kmax, dkmax, maskRadius, maskInterval, re, im, bispRe,
                       bispIm, power, annuli);
      break;
    case 256:
      launchTasks<256>(files, nthreads, kmax, dkmax, maskRadius, maskInterval, re, im, bispRe,
                       bispIm, power, annuli);
      break;
    case 512:
      launchTasks<512>(files, nthreads, kmax, dkmax, maskRadius, maskInterval, re, im, bispRe,
                       bispIm, power, annuli);
      break;
    default:
      launchTasks<1024>(files, nthreads, kmax, dkmax, maskRadius, maskInterval, re, im, bispRe,
                        bispIm, power, annuli);
      break;
  }

  const ResultWrite written = writeResultFile(outPath, width, static_cast<int32_t>(files.size()),
                                              kmax, dkmax, power, bispRe, bispIm);
  if (!written.written) {
    std::cerr << "Cannot write result file " << outPath << ": " << written.reason << "\n";
    return -1;
  }
  return 0;
}

}  // namespace korrin
