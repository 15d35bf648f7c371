#include "app/capture_scan.h"

#include <filesystem>
// GCC 12 reports a false maybe-uninitialized inside libstdc++'s regex compiler when sanitizers
// are on; the warning sits in the library's own code, so it is silenced for that header alone.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <regex>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#include <system_error>

namespace korrin {

namespace fs = std::filesystem;

std::string normalizeCaptureDir(const std::string& dir) {
  if (dir.empty() || dir.back() == '/') return dir;
  return dir + '/';
}

bool findFitsFiles(const std::string& captureDir, std::vector<std::string>& files,
                   std::string& reason) {
  files.clear();
  static const std::regex pattern(R"(.*\.(fit|fits)$)", std::regex::ECMAScript | std::regex::icase);

  // Only the error_code forms are used: a capture that cannot be listed is a reported failure,
  // never an exception.
  std::error_code ec;
  fs::directory_iterator it(fs::path(captureDir), ec);
  if (ec) {
    reason = ec.message();
    return false;
  }
  for (const fs::directory_iterator end; it != end; it.increment(ec)) {
    if (ec) break;
    // On Linux a file name is a plain byte string, so every name is representable here. The
    // name is matched first: entries that are not frames are never examined, so an unrelated
    // broken link cannot stop the run.
    const std::string name = it->path().filename().string();
    if (!std::regex_match(name, pattern)) continue;
    // status() follows symbolic links, so a link to a frame counts as a frame. A dangling link
    // (or an entry gone since it was listed) is no frame; one whose kind cannot be told (a link
    // loop, no permission) is listed, and its worker reports it as unreadable.
    std::error_code statusError;
    const fs::file_status status = it->status(statusError);
    if (status.type() == fs::file_type::not_found) continue;
    if (!statusError && status.type() != fs::file_type::regular) continue;
    files.push_back(captureDir + name);
  }
  if (ec) {
    reason = ec.message();
    return false;
  }
  return true;
}

std::vector<std::string> splitString(const std::string& text, const std::string& delimiter) {
  std::vector<std::string> pieces;
  if (delimiter.empty()) return {text};  // would never advance
  std::size_t position = 0;
  for (std::size_t p; (p = text.find(delimiter, position)) != std::string::npos;
       position = p + delimiter.size()) {
    pieces.push_back(text.substr(position, p - position));
  }
  pieces.push_back(text.substr(position));
  return pieces;
}

std::string deriveOutputName(const std::string& captureDir, const std::string& firstFrame) {
  const std::size_t slash = firstFrame.rfind('/');
  const std::string component =
      slash == std::string::npos ? firstFrame : firstFrame.substr(slash + 1);
  // A leading dot starts a hidden name, not an extension.
  const std::size_t dot = component.rfind('.');
  const std::string stem =
      dot == std::string::npos || dot == 0 ? component : component.substr(0, dot);

  const std::vector<std::string> pieces = splitString(stem, "_");
  std::string name;
  if (pieces.size() < 2) {
    name = stem;
  } else {
    for (std::size_t i = 0; i + 1 < pieces.size(); ++i) {
      if (!name.empty()) name += '_';
      name += pieces[i];
    }
  }
  return captureDir + name + ".krn1";
}

}  // namespace korrin
