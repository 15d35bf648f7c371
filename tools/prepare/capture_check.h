// The pre-flight check of a capture directory: lists it with korrin's own capture scan, reads
// each frame's header (and with `deep` its pixels) with korrin's own FITS reader, follows the
// way korrin deals the frames to its workers, and reports what would spoil the result.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace korrin::prepare {

struct CheckOptions {
  std::string dir;
  bool deep = false;             // read the pixels too
  int nprocs = -1;               // korrin's --nprocs, which decides how the frames are dealt out
  bool all = false;              // list every file of a problem, not only the first ones
  unsigned hardwareThreads = 0;  // 0: this machine's
};

// What korrin makes of one listed file.
struct FrameFacts {
  std::string path;
  bool readable = false;
  std::string reason;  // the reader's message when not readable
  int32_t width = 0, height = 0, bitpix = 0;
  bool unsupportedBitpix = false;
  int64_t planes = 1;        // beyond the first, korrin reads none
  int64_t missingBytes = 0;  // pixel data the file lacks (korrin reads zeros)
  bool preview = false;      // looks like a korrin-inspect image
  bool nonFinite = false;    // deep only
  bool tooLarge = false;     // deep only: a magnitude of 2^40 or more
  int64_t saturated = 0;     // deep only: pixels at the top of the sample range
};

// Reads one file as korrin would (headers only unless deep). Messages of the reader are
// captured into `reason`, not written.
FrameFacts examineFrame(const std::string& path, bool deep);

// Prints the report and the verdict; returns 0 when the capture is clean, 1 when korrin would
// refuse it or give a wrong or partial result.
int checkCapture(const CheckOptions& options, std::ostream& out);

}  // namespace korrin::prepare
