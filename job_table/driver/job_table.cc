#include "job_table/driver/job_table.h"

#include <array>

namespace msdisf {

std::vector<std::string> make_job_table() {
  static constexpr std::array<const char*, 9> kRelativePaths = {
      "data/FreeQuorix/FreeQuorix_cropped_distinct.dat",           // 0: several trajectories
      "data/mdf2/MDF2_cropped_distinct.dat",                       // 1: several trajectories
      "data/FreeQuorix/FreeQuorix_cropped_combined_filtered.dat",  // 2: one trajectory, x y t
      "data/mdf2/MDF2_cropped_combined_filtered.dat",              // 3: one trajectory, x y t
      "data/Simulation_data/Noise/combined/1.dat",                 // 4..8: simulation, t x y
      "data/Simulation_data/Noise/combined/2.dat",
      "data/Simulation_data/Noise/combined/3.dat",
      "data/Simulation_data/Noise/combined/4.dat",
      "data/Simulation_data/Noise/combined/Data.dat",
  };
  std::vector<std::string> table;
  table.reserve(kRelativePaths.size());
  for (const char* relative : kRelativePaths) table.push_back(std::string(kJobBaseDirectory) + relative);
  return table;
}

}  // namespace msdisf
