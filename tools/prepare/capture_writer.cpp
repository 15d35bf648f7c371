#include "tools/prepare/capture_writer.h"

#include <fitsio.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "tools/prepare/fits_input.h"

namespace korrin::prepare {

namespace fs = std::filesystem;

namespace {

volatile sig_atomic_t gSignal = 0;

void onSignal(int signal) {
  gSignal = signal;
}

void catchSignals() {
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

}  // namespace

int outputBitpix(double low, double high, bool integral) {
  if (integral && low >= 0 && high <= 255) return 8;
  if (integral && low >= 0 && high <= 65535) return 16;
  return -32;
}

int CaptureWriter::interrupted() {
  return gSignal;
}

CaptureWriter::CaptureWriter(fs::path directory) : directory_(std::move(directory)) {
  std::error_code error;
  const std::string shown = directory_.string();
  if (fs::exists(directory_, error)) {
    if (!fs::is_directory(directory_, error)) {
      throw InputError(shown + ": exists and is not a directory");
    }
    if (!fs::is_empty(directory_, error) || error) {
      throw InputError(shown + ": not empty (the capture directory must be new or empty)");
    }
  }
  fs::path parent = fs::absolute(directory_, error).lexically_normal();
  if (!parent.has_filename()) parent = parent.parent_path();  // a trailing slash
  const std::string base = parent.filename().string();
  parent = parent.parent_path();
  fs::create_directories(parent, error);
  if (error) throw InputError(parent.string() + ": cannot create: " + error.message());
  std::string pattern = (parent / ("." + base + ".korrin-prepare-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw InputError(parent.string() +
                     ": cannot create a temporary directory: " + std::strerror(errno));
  }
  staging_ = pattern;
  // mkdtemp makes the directory private; the capture gets the usual permissions.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::chmod(staging_.c_str(), 0777 & ~mask);
  catchSignals();
}

CaptureWriter::~CaptureWriter() {
  if (committed_) return;
  std::error_code ignored;
  fs::remove_all(staging_, ignored);
}

void CaptureWriter::write(const std::string& name, const float* pixels, int size, int bitpix,
                          const std::vector<Card>& cards,
                          std::vector<unsigned char>& scratch) const {
  const std::string path = (staging_ / name).string();
  const size_t count = static_cast<size_t>(size) * static_cast<size_t>(size);
  int status = 0;
  fitsfile* file = nullptr;
  fits_create_diskfile(&file, path.c_str(), &status);
  long axes[2] = {size, size};
  fits_create_img(file,
                  bitpix == 8    ? BYTE_IMG
                  : bitpix == 16 ? USHORT_IMG
                                 : FLOAT_IMG,
                  2, axes, &status);
  for (const Card& card : cards) {
    if (card.isText) {
      fits_update_key_str(file, card.name.c_str(), card.text.c_str(), card.comment.c_str(),
                          &status);
    } else {
      fits_update_key_lng(file, card.name.c_str(), card.number, card.comment.c_str(), &status);
    }
  }
  // The window holds the input's own samples, which the type was chosen to hold exactly.
  if (bitpix == 8) {
    scratch.resize(count);
    for (size_t i = 0; i < count; ++i) {
      scratch[i] = static_cast<unsigned char>(std::clamp(pixels[i], 0.0f, 255.0f));
    }
    fits_write_img(file, TBYTE, 1, static_cast<LONGLONG>(count), scratch.data(), &status);
  } else if (bitpix == 16) {
    scratch.resize(2 * count);
    auto* words = reinterpret_cast<unsigned short*>(scratch.data());
    for (size_t i = 0; i < count; ++i) {
      words[i] = static_cast<unsigned short>(std::clamp(pixels[i], 0.0f, 65535.0f));
    }
    fits_write_img(file, TUSHORT, 1, static_cast<LONGLONG>(count), words, &status);
  } else {
    fits_write_img(file, TFLOAT, 1, static_cast<LONGLONG>(count), const_cast<float*>(pixels),
                   &status);
  }
  int closeStatus = 0;
  if (file != nullptr) fits_close_file(file, &closeStatus);
  if (status == 0) status = closeStatus;
  if (status != 0) throw InputError(path + ": cannot write: " + cfitsioMessage(status));
}

void CaptureWriter::commit() {
  // rename() replaces an empty directory in one step; a directory that filled up meanwhile
  // refuses, and the conversion then fails rather than mixing captures.
  if (::rename(staging_.c_str(), directory_.c_str()) != 0) {
    throw InputError(directory_.string() +
                     ": cannot move the frames into place: " + std::strerror(errno));
  }
  committed_ = true;
}

}  // namespace korrin::prepare
