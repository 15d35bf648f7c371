#include "app/run_sequence.h"

#include <sys/stat.h>

#include <chrono>
#include <climits>
#include <csignal>
#include <exception>
#include <iostream>
#include <sstream>
#include <thread>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "app/capture_scan.h"
#include "app/options.h"
#include "run/calc_krn.h"

namespace korrin {

int threadCount(int nprocs, int hardwareThreads, int frameCount) {
  // hardwareThreads >= 0 and nprocs <= 0 in the second branch, so the sum cannot overflow.
  int t = nprocs > 0 ? nprocs : hardwareThreads + nprocs;
  if (hardwareThreads < t) t = hardwareThreads;
  if (frameCount < t) t = frameCount;
  return t < 1 ? 1 : t;
}

std::string timingLine(int frameCount, int threads, double seconds) {
  std::ostringstream line;
  line << "calcKRN execution time with " << frameCount << " files and " << threads
       << " threads: " << seconds << " seconds\n";
  return line.str();
}

namespace {

// The frame that `outPath` names (the same file, also through a symbolic or hard link), if any:
// a result must never replace raw data. Nothing is examined when no file exists at outPath yet,
// the usual case for a first run.
const std::string* frameAt(const std::string& outPath, const std::vector<std::string>& files) {
  struct stat target {};
  if (::stat(outPath.c_str(), &target) != 0 || !S_ISREG(target.st_mode)) return nullptr;
  for (const std::string& frame : files) {
    struct stat info {};
    if (::stat(frame.c_str(), &info) == 0 && info.st_dev == target.st_dev &&
        info.st_ino == target.st_ino) {
      return &frame;
    }
  }
  return nullptr;
}

int runSequence(int argc, const char* const* argv, const RunEnvironment& env) {
  std::ostream& out = *env.out;
  std::ostream& err = *env.err;

  const std::string usage = usageLine(argc > 0 && argv[0] != nullptr ? argv[0] : "");

  ArgumentMap args;
  std::string parseError;
  if (!parseArguments(argc, argv, args, parseError)) {
    err << "Argument parsing error: " << parseError << "\n" << usage;
    return 1;
  }

  // The current directory is only asked for when it is needed as the default.
  std::string defaultDir;
  if (args.find("dir") == args.end()) {
    std::error_code ec;
    const std::filesystem::path cwd = env.currentDirectory(ec);
    if (ec) {
      err << "Cannot determine the current directory: " << ec.message() << "\n";
      return 1;
    }
    defaultDir = cwd.string();
  }

  RunOptions options;
  std::string badKey;
  if (!readOptions(args, defaultDir, options, badKey)) {
    err << "Invalid value for --" << badKey << ": " << args.at(badKey) << "\n" << usage;
    return 1;
  }
  if (options.help) {
    err << usage << helpText();
    return 1;
  }

  if (options.mask_interval < 0) options.mask_interval = 0;
  const std::string captureDir = normalizeCaptureDir(stripQuotes(options.dir));
  std::string outPath = stripQuotes(options.out);

  out << "Using capture dir: " << captureDir << "\n";

  std::vector<std::string> files;
  std::string listError;
  if (!findFitsFiles(captureDir, files, listError)) {
    err << "Cannot list capture directory " << captureDir << ": " << listError << "\n";
    return 1;
  }
  // A directory cannot hold more entries than this on any real file system; clamp all the same.
  const int n =
      files.size() > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(files.size());
  out << "Found " << n << " files\n";

  if (outPath.empty()) {
    if (n == 0) {
      err << "No fits files found and no output name specified\n";
      return 1;
    }
    outPath = deriveOutputName(captureDir, files.front());
  } else if (n == 0) {
    // The run driver needs a first frame to learn the width from.
    err << "No fits files found in " << captureDir << "\n";
    return 1;
  }

  if (const std::string* frame = frameAt(outPath, files)) {
    err << "Refusing to overwrite input frame " << *frame << "\n";
    return 1;
  }

  const int hc = env.hardwareThreads > static_cast<unsigned>(INT_MAX)
                     ? INT_MAX
                     : static_cast<int>(env.hardwareThreads);
  const int t = threadCount(options.nprocs, hc, n);
  out << "Using " << t << " threads\n";
  // The driver's workers write to the console without our stream, so our lines go out first.
  out.flush();

  const auto start = std::chrono::steady_clock::now();
  const int status = env.driver(files, t, options.kmax, options.dkmax, options.mask_radius,
                                options.mask_interval, outPath);
  const auto end = std::chrono::steady_clock::now();
  const int64_t nanoseconds =
      std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count();
  const double seconds = static_cast<double>(nanoseconds) / 1000000000.0;

  out << timingLine(n, t, seconds);
  out << "Output written to " << outPath << "\n";
  out.flush();
  return status;
}

}  // namespace

int runKorrin(int argc, const char* const* argv, const RunEnvironment& environment) {
  // Whatever escapes the run (memory exhaustion in a worker, for one) becomes a message and an
  // exit status rather than an abort.
  try {
    return runSequence(argc, argv, environment);
  } catch (const std::exception& e) {
    *environment.err << "Run failed: " << e.what() << "\n";
  } catch (...) {
    *environment.err << "Run failed: unknown error\n";
  }
  return 2;
}

int runKorrin(int argc, char** argv) {
  // A console reader that goes away (korrin | head) must not kill a long accumulation before the
  // result file is written; failed console writes are simply lost.
  std::signal(SIGPIPE, SIG_IGN);
#if defined(__GLIBC__)
  // Every frame allocates and frees a few buffers of W*W floats. By default glibc serves those
  // sizes with fresh mappings or hands the freed memory back to the system, so each frame pays
  // its page faults again; keeping them in the heap lets the next frame reuse the same pages.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);  // the largest glibc accepts
  mallopt(M_TRIM_THRESHOLD, 64 << 20);
#endif
  RunEnvironment environment;
  environment.out = &std::cout;
  environment.err = &std::cerr;
  environment.hardwareThreads = std::thread::hardware_concurrency();
  environment.currentDirectory = [](std::error_code& ec) {
    return std::filesystem::current_path(ec);
  };
  environment.driver = calcKRN;
  return runKorrin(argc, argv, environment);
}

}  // namespace korrin
