// The fixed table of nine input files, selected by the first argument.
#pragma once

#include <string>
#include <vector>

namespace msdisf {

/// Base directory of every job path, relative to the working directory.
inline constexpr const char* kJobBaseDirectory = "../";

/// The nine input paths in rank order: "../" followed by the relative path.
std::vector<std::string> make_job_table();

}  // namespace msdisf
