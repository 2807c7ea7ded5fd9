#include "job_table/driver/driver.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "job_table/driver/job_table.h"
#include "job_table/driver/result_path.h"
#include "job_table/estimators/per_trajectory_estimator.h"
#include "job_table/estimators/single_trajectory_estimators.h"
#include "job_table/input/trajectory_readers.h"
#include "job_table/output/result_table.h"
#include "job_table/state/analysis_state.h"

namespace msdisf {

std::optional<int> convert_int_argument(const char* text) {
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || errno == ERANGE || value < INT_MIN || value > INT_MAX) return std::nullopt;
  return static_cast<int>(value);
}

namespace {

bool contains(const std::string& text, const char* marker) { return text.find(marker) != std::string::npos; }

std::optional<int> convert_or_report(const char* name, const char* text, Console& console) {
  std::optional<int> value = convert_int_argument(text);
  if (!value) {
    console.err << "Invalid " << name << " argument \"" << text << "\": not a decimal integer in the 32-bit range"
                << std::endl;
  }
  return value;
}

using Reader = bool (*)(AnalysisState&, const std::string&, Console&);

// False when the input could not be opened: the reader has said so, and the
// run ends there, before any estimator or writer could replace a result table.
bool read_input(Reader reader, AnalysisState& state, const std::string& input_path, Console& console) {
  console.out << "Reading file: " << input_path << std::endl;
  if (!reader(state, input_path, console)) return false;
  console.out << "Finished reading file: " << input_path << "\n" << std::endl;
  return true;
}

// Runs the reader, estimator and writer that belong to the rank's kind of
// file. Each branch does nothing unless the path carries its kind's marker.
// A final table that cannot be written fails the run: the user must not take
// an old or missing table for this run's result.
int run_job(AnalysisState& state, const std::string& input_path, const std::string& result_path, Console& console) {
  const int rank = state.RANK;
  if (rank == 0 || rank == 1) {
    if (!contains(input_path, "FreeQuorix_cropped_distinct.dat") &&
        !contains(input_path, "MDF2_cropped_distinct.dat")) {
      return 0;
    }
    if (!read_input(read_experimental_data, state, input_path, console)) return 1;
    calculate_isf_and_msd_distincttrajs(state, result_path, console);
    return print_data(state, result_path, console) ? 0 : 1;
  }
  if (rank == 2 || rank == 3) {
    if (!contains(input_path,
                  rank == 2 ? "FreeQuorix_cropped_combined_filtered.dat" : "MDF2_cropped_combined_filtered.dat")) {
      return 0;
    }
    if (!read_input(read_simulation_data, state, input_path, console)) return 1;
    calculate_isf_and_msd(state, result_path, console);
    return print_data(state, result_path, console) ? 0 : 1;
  }
  if (!contains(input_path, "Simulation_data")) return 0;
  return read_input(read_simulation_data, state, input_path, console) ? 0 : 1;
}

}  // namespace

int run_driver(int argc, const char* const* argv, Console& console) {
  if (argc != 3) {
    console.err << "Usage: " << (argc > 0 ? argv[0] : "") << " <RANK> <Size>" << std::endl;
    return 1;
  }
  const std::optional<int> rank = convert_or_report("<RANK>", argv[1], console);
  if (!rank) return 1;
  const std::optional<int> size = convert_or_report("<Size>", argv[2], console);
  if (!size) return 1;

  console.out << "Rank: " << *rank << std::endl;
  console.out << "Size: " << *size << std::endl;
  console.out << "Parameters are valid. Proceeding with program execution." << std::endl;

  AnalysisState state(CAPACITY);
  state.RANK = *rank;
  state.SIZE = *size;

  const std::vector<std::string> input_files = make_job_table();
  if (state.RANK < 0 || state.RANK >= static_cast<int>(input_files.size())) {
    console.out << "Rank exceeds number of files. Exiting." << std::endl;
    return 0;
  }
  const std::string& input_path = input_files[static_cast<std::size_t>(state.RANK)];
  const std::string result_path = modify_filepath(input_path, state.RANK);
  console.out << "Write ISF and MSD to: " << result_path << std::endl;
  return run_job(state, input_path, result_path, console);
}

}  // namespace msdisf
