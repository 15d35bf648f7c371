// What a reconstruction tells its user: readable lines, one JSON object, and the FITS history.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tools/reconstruct/binary_fit.h"
#include "tools/reconstruct/modulus.h"
#include "tools/reconstruct/phase_recovery.h"

namespace korrin::reconstruct {

struct Summary {
  std::string result, reference;  // file names; no reference: empty
  int width = 0, kmax = 0, dkmax = 0;
  double requestedCutoff = 0;  // 0: estimated
  double scale = 0;            // arcsec per pixel; 0: not given
  SkyOrientation sky;
  std::string prefix, imageFits, imagePng;
  const CalibratedModulus* modulus = nullptr;
  const PhaseSolution* phases = nullptr;
  std::optional<BinaryMeasurement> binary;  // with --binary
};

void printSummary(std::ostream& out, const Summary& s);
nlohmann::ordered_json summaryJson(const Summary& s);
// The image's provenance, for its FITS header.
std::vector<std::string> historyLines(const Summary& s);

}  // namespace korrin::reconstruct
