// One capture from recording to measurement: conversion when needed, the pre-flight check, the
// main program, the verification of its result, the previews and the reconstruction.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "tools/night/captures.h"
#include "tools/night/process.h"
#include "tools/night/report.h"

namespace korrin::night {

struct Settings {
  std::filesystem::path report;
  std::vector<std::string> korrinOptions;       // --kmax=... in korrin's spelling, --nprocs=0
  std::vector<std::string> calibrationOptions;  // --scale=... for korrin-reconstruct
  bool keepFrames = false;                      // keep the frames korrin-prepare converted
};

// What a capture is run with; a record made with other settings is out of date.
std::string korrinSettings(const Settings& settings);
std::string reconstructSettings(const Settings& settings, const std::string& reference);

// Runs every step for `capture` and returns its record (also written to the report directory).
// `reference` is the reference capture's record, or null. With `reuse` (a record whose result
// file is sound and newer than the capture) only the previews and the reconstruction are done
// again.
Record processCapture(const Capture& capture, const Settings& settings, const Programs& programs,
                      const Record* reference, const Record* reuse);

// The result file of `record` is there, sound, and newer than `since`.
bool resultUsable(const std::filesystem::path& report, const Record& record,
                  std::filesystem::file_time_type since);

}  // namespace korrin::night
