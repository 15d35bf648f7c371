// The shell the companion programs share: parse, print help or version, run, and turn failures
// into the exit statuses their help texts promise (0 done, help or version; 1 failed; 2 bad
// command line). One command-line style for all of them: --key=value or --key value, -h/--help
// to standard output, --version, an unknown option refused with the closest known one suggested.
#pragma once

#include <CLI/CLI.hpp>
#include <algorithm>
#include <exception>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#ifndef KORRIN_VERSION
#define KORRIN_VERSION "unknown"
#endif

namespace korrin::tool {

// A command line the program cannot take; its text follows "NAME: " on standard error.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

namespace detail {

inline size_t editDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// "--name" of the app's long option nearest to `given` (without its value), or empty when none
// is near enough to be a plausible typo.
inline std::string closestOption(const CLI::App& app, std::string given) {
  given = given.substr(0, given.find('='));
  while (!given.empty() && given.front() == '-') given.erase(0, 1);
  std::string best;
  size_t bestDistance = std::max<size_t>(3, given.size() / 3) + 1;
  for (const CLI::Option* option : app.get_options()) {
    for (const std::string& name : option->get_lnames()) {
      const size_t distance = editDistance(given, name);
      if (distance < bestDistance) {
        bestDistance = distance;
        best = "--" + name;
      }
    }
  }
  return best;
}

inline std::string firstLine(const std::string& text) {
  return text.substr(0, text.find('\n'));
}

}  // namespace detail

// A CLI::App set up the way every companion program is: its help flag, its version flag, and
// the last of a repeated option winning, as in most command-line programs (an option that
// collects a list says so with its own policy).
inline void configure(CLI::App& app) {
  app.set_help_flag("-h,--help", "print this help and exit");
  app.set_version_flag("--version", std::string(app.get_name()) + " " KORRIN_VERSION,
                       "print the version and exit");
  app.option_defaults()->always_capture_default()->multi_option_policy(
      CLI::MultiOptionPolicy::TakeLast);
}

// Parses the command line into the options bound to `app`, then calls run() and returns its
// status. run() may throw UsageError (status 2) for a combination of options the parser cannot
// judge; any other exception is a failed run (status 1).
template <class Run>
int cliMain(CLI::App& app, int argc, char** argv, Run run) {
  const std::string name = app.get_name();
  const auto refuse = [&](const std::string& message) {
    std::cerr << name << ": " << message << "\nTry " << name << " --help\n";
    return 2;
  };
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::cout << app.help();
    return 0;
  } catch (const CLI::CallForAllHelp&) {
    std::cout << app.help("", CLI::AppFormatMode::All);
    return 0;
  } catch (const CLI::CallForVersion& e) {
    std::cout << e.what() << "\n";
    return 0;
  } catch (const CLI::ParseError& e) {
    // An unknown option is named first, whatever else is wrong: it is most likely a typo, and
    // a missing argument may well be its consequence.
    const std::vector<std::string> extras = app.remaining();
    const std::string first = extras.empty() ? std::string() : extras.front();
    if (first.rfind("-", 0) == 0) {
      const std::string suggestion = detail::closestOption(app, first);
      return refuse("unknown option " + first.substr(0, first.find('=')) +
                    (suggestion.empty() ? std::string() : " (did you mean " + suggestion + "?)"));
    }
    if (dynamic_cast<const CLI::ExtrasError*>(&e) != nullptr) {
      return refuse("unexpected argument '" + first + "'");
    }
    return refuse(detail::firstLine(e.what()));
  }
  try {
    return run();
  } catch (const UsageError& e) {
    return refuse(e.what());
  } catch (const std::exception& e) {
    std::cerr << name << ": " << e.what() << "\n";
    return 1;
  }
}

}  // namespace korrin::tool
