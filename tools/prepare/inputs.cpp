#include "tools/prepare/inputs.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace korrin::prepare {

namespace fs = std::filesystem;

namespace {

class SerSource final : public FrameSource {
 public:
  SerSource(const std::string& path, ByteOrder order)
      : bytes_(std::make_unique<FileBytes>(path)), ser_(*bytes_, order) {
    const SerHeader& h = ser_.header();
    path_ = path;
    width_ = h.width;
    height_ = h.height;
    frames_ = ser_.frames();
    range_ = {0, ser_.maxValue(), true};
    const std::string kind = h.colorId == 0     ? "mono"
                             : h.colorId == 100 ? "RGB"
                             : h.colorId == 101 ? "BGR"
                                                : "Bayer " + bayerPattern(h.colorId);
    std::string line = path + ": SER, " + std::to_string(width_) + " x " + std::to_string(height_) +
                       ", " + std::to_string(h.pixelDepth) + "-bit " + kind + ", " +
                       std::to_string(frames_) + " frames" +
                       (ser_.hasTrailer() ? ", with timestamps" : "");
    lines_.push_back(line);
    if (ser_.bytesPerSample() == 2) {
      const char* chosen = ser_.littleEndian() ? "little-endian" : "big-endian";
      const char* flag = h.littleEndian != 0 ? "little-endian" : "big-endian";
      if (order != ByteOrder::kAuto) {
        lines_.push_back(path + ": samples read " + chosen + " (--byte-order)");
      } else if (ser_.orderFromData()) {
        lines_.push_back(path + ": samples read " + chosen + " (decided from the data; the " +
                         "header's flag says " + flag + ")");
      } else {
        lines_.push_back(path + ": samples read " + chosen +
                         " (the header's flag; the data cannot tell)");
      }
    }
    if (!bayerPattern(h.colorId).empty()) {
      lines_.push_back(path + ": note: Bayer " + bayerPattern(h.colorId) +
                       " data taken as raw monochrome samples");
    } else if (planes() == 3) {
      lines_.push_back(path + ": note: the three colour planes are summed");
    }
    if (frames_ < h.frameCount) {
      lines_.push_back(path + ": the header announces " + std::to_string(h.frameCount) +
                       " frames, the file holds " + std::to_string(frames_) +
                       " complete ones: converting those");
    }
  }

  std::unique_ptr<FrameReader> open() const override { return std::make_unique<Reader>(*this); }

 private:
  int planes() const { return ser_.planes(); }

  class Reader final : public FrameReader {
   public:
    explicit Reader(const SerSource& source) : source_(source) {}
    void read(int64_t index, float* out, FrameTags& tags) override {
      const SerReader& ser = source_.ser_;
      ser.readFrame(index, raw_, out);
      const SerHeader& h = ser.header();
      tags.dateObs = isoFromTicks(ser.timestamp(index));
      tags.dateComment = "UTC of the frame (SER timestamp)";
      if (tags.dateObs.empty()) {
        tags.dateObs = isoFromTicks(h.dateTimeUtc);
        tags.dateComment = "UTC at the start of the SER recording";
      }
      tags.instrument = h.instrument;
      tags.telescope = h.telescope;
      tags.observer = h.observer;
    }

   private:
    const SerSource& source_;
    std::vector<unsigned char> raw_;
  };

  std::unique_ptr<FileBytes> bytes_;
  SerReader ser_;
};

class FitsSource final : public FrameSource {
 public:
  explicit FitsSource(const std::string& path) {
    FitsInput input(path);
    path_ = path;
    width_ = input.width();
    height_ = input.height();
    frames_ = input.planes();
    range_ = input.range();
    dateObs_ = input.dateObs();
    std::string line = path + ": FITS " + (frames_ > 1 ? "cube" : "image") + ", " +
                       std::to_string(width_) + " x " + std::to_string(height_) + ", BITPIX " +
                       std::to_string(input.bitpix());
    if (frames_ > 1) line += ", " + std::to_string(frames_) + " planes";
    lines_.push_back(line);
  }

  std::unique_ptr<FrameReader> open() const override { return std::make_unique<Reader>(*this); }

 private:
  class Reader final : public FrameReader {
   public:
    explicit Reader(const FitsSource& source) : source_(source) {}
    void read(int64_t index, float* out, FrameTags& tags) override {
      if (!input_) input_ = std::make_unique<FitsInput>(source_.path());
      if (input_->width() != source_.width() || input_->height() != source_.height() ||
          input_->planes() != source_.frames()) {
        throw InputError(source_.path() + ": changed while being converted");
      }
      input_->readPlane(index, out);
      tags = {};
      tags.dateObs = source_.dateObs_;
      tags.dateComment = "from the source's DATE-OBS";
    }

   private:
    const FitsSource& source_;
    std::unique_ptr<FitsInput> input_;
  };

  std::string dateObs_;
};

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool isInputName(const std::string& name) {
  const std::string extension = lower(fs::path(name).extension().string());
  return extension == ".ser" || extension == ".fit" || extension == ".fits" || extension == ".fts";
}

}  // namespace

std::unique_ptr<FrameSource> openSource(const std::string& path, ByteOrder order) {
  char magic[14] = {};
  {
    FileBytes bytes(path);
    if (!bytes.read(0, magic, std::min<uint64_t>(sizeof magic, bytes.size()))) {
      throw InputError(path + ": cannot read");
    }
  }
  if (std::memcmp(magic, "LUCAM-RECORDER", 14) == 0) {
    return std::make_unique<SerSource>(path, order);
  }
  if (std::memcmp(magic, "SIMPLE  =", 9) == 0) return std::make_unique<FitsSource>(path);
  throw InputError(path + ": neither a SER nor a FITS file");
}

std::vector<std::unique_ptr<FrameSource>> openInputs(const std::vector<std::string>& arguments,
                                                     ByteOrder order) {
  std::vector<std::unique_ptr<FrameSource>> sources;
  for (const std::string& argument : arguments) {
    std::error_code error;
    if (!fs::is_directory(argument, error)) {
      if (!fs::exists(argument, error)) throw InputError(argument + ": no such file or directory");
      sources.push_back(openSource(argument, order));
      continue;
    }
    std::vector<std::string> names;
    for (fs::directory_iterator it(argument, error), end; !error && it != end;
         it.increment(error)) {
      std::error_code kindError;
      if (it->is_regular_file(kindError) && isInputName(it->path().filename().string())) {
        names.push_back(it->path().string());
      }
    }
    if (error) throw InputError(argument + ": cannot list: " + error.message());
    if (names.empty()) {
      throw InputError(argument + ": holds no .ser, .fit, .fits or .fts file");
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) sources.push_back(openSource(name, order));
  }
  return sources;
}

}  // namespace korrin::prepare
