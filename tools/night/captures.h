// The captures of a night: what lies under the night's directory, what each FITS header says
// (size, time of observation) and which reference star each target is calibrated with.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korrin::night {

enum class CaptureKind { kFrames, kSer, kCube };

struct Capture {
  std::string name;  // unique within the night: the file's stem or the directory's name
  CaptureKind kind = CaptureKind::kFrames;
  std::filesystem::path path;  // the SER file, the cube or the directory of frames
};

// Every SER file, every FITS cube and every directory holding FITS frames under `night`, sorted
// by path. Hidden directories, `*-previews` directories and `skip` (the report directory) are
// not searched. Names that would repeat get "-2", "-3" ... in path order.
std::vector<Capture> findCaptures(const std::filesystem::path& night,
                                  const std::filesystem::path& skip);

// The FITS files korrin would take as frames in `dir`, sorted by name.
std::vector<std::filesystem::path> fitsFiles(const std::filesystem::path& dir);

struct FitsHeader {
  int naxis = 0;
  long width = 0, height = 0;
  std::string dateObs;  // empty when absent
};
// Empty when cfitsio cannot read the file as an image.
std::optional<FitsHeader> readHeader(const std::filesystem::path& file);

// Whether korrin-prepare must turn the capture into square frames first: recordings always; a
// directory whose first frame is not a square of 128, 256, 512 or 1024 pixels (a camera's region
// of interest). A directory of square frames goes to the pre-flight check as it is, which judges
// any odd frame in it.
bool needsPreparing(const Capture& capture);

// The newest modification time of the capture's files (and of its directory, which changes
// when frames come or go).
std::filesystem::file_time_type newestInput(const Capture& capture);

// A FITS DATE-OBS (YYYY-MM-DD[Thh:mm:ss[.s...]], UTC) as a Julian date; empty when it does not
// parse.
std::optional<double> julianDate(const std::string& dateObs);
// The Besselian year of a Julian date, as speckle double-star catalogues give epochs.
double besselianYear(double julianDate);

// The middle of the capture: halfway between the DATE-OBS of its first and last frame (by name,
// the recording order of korrin-prepare's frames), as a Besselian year; empty when either
// lacks one.
std::optional<double> midCaptureEpoch(const std::filesystem::path& captureDir);

// Which reference capture calibrates which target.
struct References {
  std::string all;                              // --ref: for every target not in `byTarget`
  std::map<std::string, std::string> byTarget;  // from the --refs file
  std::string referenceOf(const std::string& target) const;
};

// Reads a --refs file: one "TARGET REFERENCE_CAPTURE" per line, '#' starts a comment, blank lines
// are ignored. Throws std::runtime_error naming the file and line of anything else.
std::map<std::string, std::string> readReferenceFile(const std::string& path);

}  // namespace korrin::night
