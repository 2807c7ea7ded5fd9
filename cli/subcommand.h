// What msdisf's subcommands (fit, merge) share: parsing their command line.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>

#include "job_table/state/console.h"

namespace msdisf {

/// Parses argv into `app`. nullopt to go on; otherwise the exit status: 0
/// after printing --help, 2 after one line naming the problem.
inline std::optional<int> parse_subcommand(CLI::App& app, int argc, const char* const* argv, Console& console,
                                           const std::string& name) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    console.out << app.help();
    return 0;
  } catch (const CLI::ParseError& error) {
    console.err << name << ": " << error.what() << " (see " << name << " --help)" << std::endl;
    return 2;
  }
  return std::nullopt;
}

}  // namespace msdisf
