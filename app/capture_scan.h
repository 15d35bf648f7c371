// The capture directory, its frame files and the name of the result file derived from them.
#pragma once

#include <string>
#include <vector>

namespace korrin {

// Appends the separator "/" unless the string is empty or already ends in one. Nothing else
// changes: relative paths, doubled separators and backslashes stay as they are.
std::string normalizeCaptureDir(const std::string& dir);

// Lists one level of `captureDir` (already normalised) in listing order and keeps the entries
// whose whole name matches .fit or .fits, any letter case, and that are regular files (followed
// through symbolic links) or whose kind cannot be determined (a link loop, say: listed so that
// the run reports it as unreadable). Each frame path is captureDir followed by the file name.
// Returns false, with the system's reason in `reason`, when the directory cannot be opened or
// read; `files` is then incomplete and must not be used.
bool findFitsFiles(const std::string& captureDir, std::vector<std::string>& files,
                   std::string& reason);

// Pieces of `text` between occurrences of `delimiter` (non-empty); k occurrences give k + 1
// pieces, empty ones included.
std::vector<std::string> splitString(const std::string& text, const std::string& delimiter);

// captureDir + the first frame's stem without its last "_" token + ".krn1".
std::string deriveOutputName(const std::string& captureDir, const std::string& firstFrame);

}  // namespace korrin
