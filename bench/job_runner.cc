// Runs the single-trajectory job (as ranks 2 and 3 do) on any x y t file with
// a chosen method and thread count, for whole-job benchmarks:
//   job_runner exact|fast THREADS INPUT RESULT
#include <cstdlib>
#include <iostream>
#include <string>

#include "job_table/estimators/single_trajectory_estimators.h"
#include "job_table/input/trajectory_readers.h"
#include "job_table/output/result_table.h"

int main(int argc, char** argv) {
  using namespace msdisf;
  if (argc != 5) {
    std::cerr << "Usage: " << argv[0] << " exact|fast THREADS INPUT RESULT" << std::endl;
    return 1;
  }
  const std::string method = argv[1];
  if (method != "exact" && method != "fast") {
    std::cerr << argv[0] << ": unknown method \"" << method << "\"" << std::endl;
    return 1;
  }
  const EstimatorOptions options{.method = method == "exact" ? Method::kExact : Method::kOrdered,
                                 .threads = std::atoi(argv[2])};
  Console console{std::cout, std::cerr};
  AnalysisState state(CAPACITY);
  state.RANK = 2;
  if (!read_simulation_data(state, argv[3], console)) return 1;
  calculate_isf_and_msd(state, argv[4], console, options);
  return print_data(state, argv[4], console) ? 0 : 1;
}
