#include "tools/reconstruct/report.h"

#include <cstdio>

#ifndef KORRIN_VERSION
#define KORRIN_VERSION "unknown"
#endif

namespace korrin::reconstruct {

namespace {

std::string format(const char* pattern, double a, double b = 0) {
  char text[96];
  std::snprintf(text, sizeof text, pattern, a, b);
  return text;
}

std::string referenceText(const Summary& s) {
  return s.reference.empty()
             ? "none (the ring means of the power spectrum stand in for the transfer function)"
             : s.reference;
}

std::string cutoffText(const Summary& s) {
  return format("%g cycles per frame", s.modulus->cutoff) +
         (s.modulus->cutoffEstimated ? " (estimated)" : " (given)");
}

std::string phasesText(const Summary& s) {
  const PhaseSolution& p = *s.phases;
  return std::to_string(p.unknowns) + " frequencies up to " + format("%g", p.radius) +
         " cycles per frame from " + std::to_string(p.closures) + " closure phases" +
         format(" (rms residual %.3f rad)", p.rmsResidual);
}

double positionAngleOf(const Summary& s) {
  return positionAngle(s.binary->dx, s.binary->dy, s.sky);
}

}  // namespace

void printSummary(std::ostream& out, const Summary& s) {
  out << "Result file:      " << s.result << "\n"
      << "Reference:        " << referenceText(s) << "\n"
      << "Width:            " << s.width << " x " << s.width << ", kmax " << s.kmax << ", dkmax "
      << s.dkmax << "\n"
      << "Noise bias:       " << format("%.6g", s.modulus->bias) << " per frequency\n"
      << "Cutoff:           " << cutoffText(s) << "\n"
      << "Phases:           " << phasesText(s) << "\n"
      << "Image:            " << s.imageFits << ", " << s.imagePng << "\n";
  if (!s.binary) return;
  const BinaryMeasurement& b = *s.binary;
  if (!b.detected) {
    out << "Companion:        not detected" << format(" (%.1f sigma, 5 needed)", b.significance)
        << "\n";
    return;
  }
  out << "Companion:        detected" << format(" at %.1f sigma", b.significance) << "\n"
      << "  dx, dy:         " << format("%.3f +- %.3f", b.dx, b.dxErr)
      << format(", %.3f +- %.3f pixels", b.dy, b.dyErr) << "\n"
      << "  separation:     " << format("%.3f +- %.3f pixels", b.separation, b.separationErr);
  if (s.scale > 0) {
    out << format(" (%.4f +- %.4f arcsec)", b.separation * s.scale, b.separationErr * s.scale);
  }
  out << "\n"
      << "  angle:          " << format("%.2f +- %.2f degrees", b.angleDeg, b.angleErrDeg)
      << " (atan2(dy, dx))\n"
      << "  position angle: " << format("%.2f +- %.2f degrees", positionAngleOf(s), b.angleErrDeg)
      << " (from north through east)\n"
      << "  flux ratio:     " << format("%.4f +- %.4f", b.fluxRatio, b.fluxRatioErr) << "\n"
      << "  delta mag:      " << format("%.3f +- %.3f", b.deltaMag, b.deltaMagErr) << "\n"
      << "  quadrant:       "
      << format("confidence %.4f (%.1f sigma)", b.quadrantConfidence, b.quadrantSignificance)
      << "\n";
}

nlohmann::ordered_json summaryJson(const Summary& s) {
  using json = nlohmann::ordered_json;
  const CalibratedModulus& m = *s.modulus;
  const PhaseSolution& p = *s.phases;
  json j;
  j["program"] = "korrin-reconstruct";
  j["version"] = KORRIN_VERSION;
  j["result_file"] = s.result;
  j["reference_file"] = s.reference.empty() ? json(nullptr) : json(s.reference);
  j["options"] = {
      {"out", s.prefix},
      {"cutoff", s.requestedCutoff > 0 ? json(s.requestedCutoff) : json(nullptr)},
      {"binary", s.binary.has_value()},
      {"scale", s.scale > 0 ? json(s.scale) : json(nullptr)},
      {"north_angle_deg", s.sky.northAngleDeg},
      {"flip", s.sky.flip},
  };
  j["width"] = s.width;
  j["kmax"] = s.kmax;
  j["dkmax"] = s.dkmax;
  j["calibration"] = m.calibration == Calibration::kReference ? "reference" : "ring_mean";
  j["noise_bias"] = m.bias;
  j["cutoff"] = m.cutoff;
  j["cutoff_estimated"] = m.cutoffEstimated;
  j["phase_radius"] = p.radius;
  j["phase_frequencies"] = p.unknowns;
  j["closure_phases"] = p.closures;
  j["closure_rms_rad"] = p.rmsResidual;
  j["image_fits"] = s.imageFits;
  j["image_png"] = s.imagePng;
  if (!s.binary) return j;
  const BinaryMeasurement& b = *s.binary;
  json binary = {{"detected", b.detected}, {"significance", b.significance}};
  if (b.detected) {
    binary.update({
        {"dx_px", b.dx},
        {"dx_err_px", b.dxErr},
        {"dy_px", b.dy},
        {"dy_err_px", b.dyErr},
        {"separation_px", b.separation},
        {"separation_err_px", b.separationErr},
        {"angle_deg", b.angleDeg},
        {"angle_err_deg", b.angleErrDeg},
        {"position_angle_deg", positionAngleOf(s)},
        {"position_angle_err_deg", b.angleErrDeg},
        {"flux_ratio", b.fluxRatio},
        {"flux_ratio_err", b.fluxRatioErr},
        {"delta_mag", b.deltaMag},
        {"delta_mag_err", b.deltaMagErr},
        {"quadrant_confidence", b.quadrantConfidence},
        {"quadrant_significance", b.quadrantSignificance},
        {"fit_frequencies", b.frequencies},
    });
    if (s.scale > 0) {
      binary["separation_arcsec"] = b.separation * s.scale;
      binary["separation_err_arcsec"] = b.separationErr * s.scale;
    }
  }
  j["binary"] = binary;
  return j;
}

std::vector<std::string> historyLines(const Summary& s) {
  const int centre = s.width / 2;
  const std::string modulus =
      "Modulus: power minus the noise bias of the corners, divided by the transfer function "
      "(Wiener-regularised)";
  const std::string phases =
      "Phases: recursive Lohmann-Weigelt-Wirnitzer phasor average, then weighted least squares "
      "over all closure phases; ";
  return {
      "korrin-reconstruct " KORRIN_VERSION,
      "Result: " + s.result,
      "Reference: " + referenceText(s),
      "Cutoff: " + cutoffText(s),
      modulus,
      phases + phasesText(s),
      "Image: cos^2 apodisation to the phase radius; primary at pixel (" + std::to_string(centre) +
          ", " + std::to_string(centre) + ") counted from 0, peak scaled to 1",
  };
}

}  // namespace korrin::reconstruct
