#include "tools/inspect/image_files.h"

#include <fitsio.h>
#include <png.h>

#include <cctype>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <system_error>

namespace korrin {

namespace {

bool isFitsName(const std::string& name) {
  std::string lower;
  for (char c : name) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const auto endsWith = [&lower](std::string_view tail) {
    return lower.size() >= tail.size() &&
           lower.compare(lower.size() - tail.size(), tail.size(), tail) == 0;
  };
  return endsWith(".fit") || endsWith(".fits");
}

std::string originOf(const std::string& path) {
  fitsfile* file = nullptr;
  int status = 0;
  char origin[FLEN_VALUE] = {};
  fits_open_diskfile(&file, path.c_str(), READONLY, &status);
  fits_read_key(file, TSTRING, "ORIGIN", origin, nullptr, &status);
  int closeStatus = 0;
  if (file != nullptr) fits_close_file(file, &closeStatus);
  return status == 0 ? origin : "";
}

}  // namespace

std::string fitsBesideFrames(const std::string& path) {
  namespace fs = std::filesystem;
  if (!isFitsName(fs::path(path).filename().string())) return {};
  fs::path dir = fs::path(path).parent_path();
  if (dir.empty()) dir = ".";
  std::error_code error;
  for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    std::error_code ignored;
    if (!isFitsName(name) || !it->is_regular_file(ignored)) continue;
    if (fs::equivalent(it->path(), path, ignored)) continue;  // the image being replaced
    if (isKorrinImageOrigin(originOf(it->path().string()))) continue;
    return "will not write " + path + ": " + dir.string() + " holds frames (" + name +
           ") and korrin would read the image as one of them; write it elsewhere";
  }
  return {};
}

std::string writeFloatFits(const std::string& path, const std::string& origin, int width,
                           const std::vector<float>& pixels,
                           const std::vector<FitsKeyword>& keywords,
                           const std::vector<std::string>& history) {
  // The disk-file creator takes the name literally (no cfitsio name syntax) and refuses to
  // overwrite, so an old file goes first.
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
  fitsfile* file = nullptr;
  int status = 0;
  fits_create_diskfile(&file, path.c_str(), &status);
  long axes[2] = {width, width};
  fits_create_img(file, FLOAT_IMG, 2, axes, &status);
  fits_update_key_str(file, "ORIGIN", origin.c_str(), "program that wrote this image", &status);
  fits_write_date(file, &status);
  for (const FitsKeyword& key : keywords) {
    if (!key.text.empty()) {
      fits_update_key_str(file, key.name.c_str(), key.text.c_str(), key.comment.c_str(), &status);
      continue;
    }
    double value = key.value;
    fits_update_key(file, TDOUBLE, key.name.c_str(), &value, key.comment.c_str(), &status);
  }
  for (const std::string& line : history) fits_write_history(file, line.c_str(), &status);
  fits_write_img(file, TFLOAT, 1, static_cast<LONGLONG>(pixels.size()),
                 const_cast<float*>(pixels.data()), &status);
  int closeStatus = 0;
  if (file != nullptr) fits_close_file(file, &closeStatus);
  if (status == 0) status = closeStatus;
  if (status == 0) return {};
  char text[FLEN_STATUS] = {};
  fits_get_errstatus(status, text);
  std::filesystem::remove(path, ignored);
  return text;
}

namespace {

struct PngFailure {
  char message[200] = {};
};

void onPngError(png_structp png, png_const_charp message) {
  auto* failure = static_cast<PngFailure*>(png_get_error_ptr(png));
  std::snprintf(failure->message, sizeof failure->message, "%s", message);
  png_longjmp(png, 1);
}

void onPngWarning(png_structp, png_const_charp) {}

// libpng reports errors by longjmp: nothing in this frame may own resources with destructors.
// `rows` points at the rows in the order they are written, top of the picture first.
bool writePngRows(std::FILE* out, int width, png_bytep* rows, PngFailure& failure) {
  png_structp png =
      png_create_write_struct(PNG_LIBPNG_VER_STRING, &failure, onPngError, onPngWarning);
  if (png == nullptr) {
    std::snprintf(failure.message, sizeof failure.message, "out of memory");
    return false;
  }
  png_infop info = png_create_info_struct(png);
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    if (failure.message[0] == '\0') {
      std::snprintf(failure.message, sizeof failure.message, "out of memory");
    }
    return false;
  }
  png_init_io(png, out);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(width), 16,
               PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  png_write_image(png, rows);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace

std::string writeGreyPng16(const std::string& path, int width,
                           const std::vector<uint16_t>& pixels) {
  const auto w = static_cast<size_t>(width);
  // PNG samples are big-endian; the picture's top row is the image's last row.
  std::vector<unsigned char> bytes(pixels.size() * 2);
  std::vector<png_bytep> rows(w);
  for (size_t r = 0; r < w; ++r) {
    unsigned char* row = bytes.data() + r * w * 2;
    const uint16_t* source = pixels.data() + (w - 1 - r) * w;
    for (size_t c = 0; c < w; ++c) {
      row[2 * c] = static_cast<unsigned char>(source[c] >> 8);
      row[2 * c + 1] = static_cast<unsigned char>(source[c] & 0xff);
    }
    rows[r] = row;
  }

  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) return std::strerror(errno);
  PngFailure failure;
  bool ok = writePngRows(out, width, rows.data(), failure);
  if (std::fflush(out) != 0 || std::ferror(out)) {
    if (ok) std::snprintf(failure.message, sizeof failure.message, "%s", std::strerror(errno));
    ok = false;
  }
  if (std::fclose(out) != 0 && ok) {
    std::snprintf(failure.message, sizeof failure.message, "%s", std::strerror(errno));
    ok = false;
  }
  if (ok) return {};
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
  return failure.message;
}

}  // namespace korrin
