// korrin-prepare: turns camera recordings (SER video, FITS cubes, FITS images of any size) into a
// capture directory korrin reads, and checks any capture directory before a run.

#include <iostream>
#include <string>
#include <vector>

#include "tools/prepare/capture_check.h"
#include "tools/prepare/convert.h"
#include "tools/tool_main.h"

namespace {

constexpr const char* kDescription =
    "Converts camera recordings into a capture korrin reads: each frame becomes one square\n"
    "FITS frame (BITPIX 8 for 8-bit data, 16 for 9..16-bit data, -32 otherwise and after\n"
    "dark subtraction), windowed on the star. INPUTs are SER files, FITS cubes, FITS images\n"
    "of any size and directories of those (sorted by name), taken in the order given; their\n"
    "frames are numbered from 1 in that order for --first, --count and --every.\n"
    "\n"
    "  korrin-prepare INPUT... --out=CAPTURE_DIR [options]\n"
    "  korrin-prepare --check CAPTURE_DIR [--deep]\n"
    "\n"
    "--check lists CAPTURE_DIR as korrin will, reads every frame's header with korrin's own\n"
    "reader and reports what would make korrin refuse the run or give a wrong or partial\n"
    "result. Exit status: 0 done (for --check: clean), 1 failed (for --check: problems\n"
    "found), 2 command-line error.";

}  // namespace

int main(int argc, char** argv) {
  using korrin::prepare::ByteOrder;
  CLI::App app(kDescription, "korrin-prepare");
  korrin::tool::configure(app);

  korrin::prepare::ConvertOptions convert;
  korrin::prepare::CheckOptions check;
  std::vector<std::string> inputs;
  bool checkMode = false;
  std::string fixed, byteOrder = "auto";
  app.add_option("INPUT", inputs, "recordings to convert, or with --check the capture directory");
  app.add_option("--out", convert.out, "the new capture directory (must not exist or be empty)");
  app.add_option("--size", convert.size,
                 "window side: 128, 256, 512 or 1024 (auto: 256 when the frames allow it, "
                 "else 128)")
      ->check(CLI::IsMember({128, 256, 512, 1024}))
      ->default_str("auto");
  app.add_option("--fixed", fixed,
                 "X,Y: one window centre (column, row from 0) for all frames instead of "
                 "following the speckle cloud");
  app.add_option("--dark", convert.dark,
                 "dark exposures of the frames' size (SER, cube, frames or a directory), "
                 "averaged and subtracted");
  app.add_option("--first", convert.first, "first frame to take, from 1")
      ->check(CLI::PositiveNumber);
  app.add_option("--count", convert.count, "take at most this many frames")
      ->check(CLI::PositiveNumber)
      ->default_str("all");
  app.add_option("--every", convert.every, "take every N-th frame")->check(CLI::PositiveNumber);
  app.add_option("--byte-order", byteOrder,
                 "byte order of 16-bit SER samples: auto (decided from the data), little or big")
      ->check(CLI::IsMember({"auto", "little", "big"}));
  app.add_option("--prefix", convert.prefix,
                 "frame names PREFIX_00001.fits ... (default: the first input's name)");
  app.add_flag("--progress", convert.progress,
               "show progress on standard error even when it is not a terminal");
  app.add_flag("--check", checkMode, "check the capture directory given as INPUT");
  app.add_flag("--deep", check.deep, "with --check: read the pixels too");
  app.add_flag("--all", check.all, "with --check: list every file of a problem");
  app.add_option("--nprocs", check.nprocs,
                 "with --check: korrin's --nprocs, which decides how frames are dealt to its "
                 "workers");

  return korrin::tool::cliMain(app, argc, argv, [&]() -> int {
    using korrin::tool::UsageError;
    if (checkMode) {
      if (inputs.size() != 1) throw UsageError("--check takes one capture directory");
      if (!convert.out.empty()) throw UsageError("--check writes nothing: drop --out");
      check.dir = inputs.front();
      return korrin::prepare::checkCapture(check, std::cout);
    }
    if (check.deep || check.all || app.count("--nprocs") > 0) {
      throw UsageError("--deep, --all and --nprocs go with --check");
    }
    if (inputs.empty()) throw UsageError("no input given");
    if (convert.out.empty()) throw UsageError("--out=CAPTURE_DIR is required");
    if (!fixed.empty()) {
      int x = 0, y = 0;
      char rest = 0;
      if (std::sscanf(fixed.c_str(), "%d,%d%c", &x, &y, &rest) != 2 || x < 0 || y < 0) {
        throw UsageError("--fixed needs X,Y: two pixel numbers from 0, not '" + fixed + "'");
      }
      convert.fixed = std::pair{x, y};
    }
    if (convert.prefix.find('/') != std::string::npos || convert.prefix.rfind('.', 0) == 0) {
      throw UsageError("--prefix must be a plain name, not '" + convert.prefix + "'");
    }
    convert.byteOrder = byteOrder == "little" ? ByteOrder::kLittle
                        : byteOrder == "big"  ? ByteOrder::kBig
                                              : ByteOrder::kAuto;
    convert.inputs = inputs;
    try {
      return korrin::prepare::convert(convert, std::cout);
    } catch (const korrin::prepare::InputError& e) {
      std::cout.flush();
      std::cerr << "korrin-prepare: " << e.what() << "\n";
      return 1;
    }
  });
}
