#include "job_table/driver/result_path.h"

namespace msdisf {

#ifndef MSDISF_PROJECT_ROOT
#error "MSDISF_PROJECT_ROOT must name the project directory"
#endif
const std::string_view PROJECT_ROOT = MSDISF_PROJECT_ROOT;

std::string modify_filepath(const std::string& input_path, int rank) {
  if (rank >= 4 && rank <= 8) {
    return std::string(PROJECT_ROOT) + "data/Simulation_data/msd_" + "isf_" + std::to_string(rank - 3) + ".dat";
  }
  const std::size_t slash = input_path.rfind('/');
  const std::size_t dot = input_path.rfind('.');
  const std::size_t stem_start = slash == std::string::npos ? 0 : slash + 1;
  // A dot in the directory part (as in "../") does not end the stem.
  const bool dot_in_name = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  const std::size_t stem_end = dot_in_name ? dot : input_path.size();
  const std::string directory = input_path.substr(0, stem_start);
  return directory + "msd_isf_" + input_path.substr(stem_start, stem_end - stem_start) + ".dat";
}

}  // namespace msdisf
