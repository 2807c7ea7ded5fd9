// Naming of the result table for an input file.
#pragma once

#include <string>
#include <string_view>

namespace msdisf {

/// The project directory (absolute, ending in "/") under which the simulation
/// ranks' result names are formed; fixed when the program is built.
extern const std::string_view PROJECT_ROOT;

/// Ranks 4..8 (simulation inputs): PROJECT_ROOT + "data/Simulation_data/msd_isf_<rank-3>.dat",
/// whatever the input path. Every other rank: "msd_isf_<stem>.dat" beside the
/// input, where the stem is the file name without its last extension.
std::string modify_filepath(const std::string& input_path, int rank);

}  // namespace msdisf
