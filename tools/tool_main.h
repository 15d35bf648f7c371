// The shell both companion programs share: parse, print help, run, and turn failures into the
// exit statuses their usage texts promise (0 done or help, 1 failed, 2 bad command line).
#pragma once

#include <exception>
#include <iostream>
#include <optional>
#include <stdexcept>

namespace korrin::tool {

// A command line the program cannot take; its text follows "NAME: " on standard error.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// parse returns std::nullopt when help was asked for.
template <class Parse, class Run>
int toolMain(const char* name, const char* usage, int argc, char** argv, Parse parse, Run run) {
  try {
    const auto options = parse(argc, argv);
    if (!options) {
      std::cout << usage;
      return 0;
    }
    try {
      return run(*options);
    } catch (const std::exception& e) {
      std::cerr << name << ": " << e.what() << "\n";
      return 1;
    }
  } catch (const UsageError& e) {
    std::cerr << name << ": " << e.what() << "\nTry " << name << " --help\n";
    return 2;
  }
}

}  // namespace korrin::tool
