// Tests for the result path naming and the argument conversion.
#include "job_table/driver/result_path.h"

#include <gtest/gtest.h>

#include "job_table/driver/driver.h"
#include "job_table/driver/job_table.h"

namespace msdisf {
namespace {

TEST(ResultPath, ExperimentalInputsGetAPrefixedNameBesideTheInput) {
  EXPECT_EQ(modify_filepath("../data/FreeQuorix/FreeQuorix_cropped_distinct.dat", 0),
            "../data/FreeQuorix/msd_isf_FreeQuorix_cropped_distinct.dat");
  EXPECT_EQ(modify_filepath("../data/mdf2/MDF2_cropped_combined_filtered.dat", 3),
            "../data/mdf2/msd_isf_MDF2_cropped_combined_filtered.dat");
}

TEST(ResultPath, StemRules) {
  EXPECT_EQ(modify_filepath("tracks.txt", 2), "msd_isf_tracks.dat");
  EXPECT_EQ(modify_filepath("tracks", 2), "msd_isf_tracks.dat");
  EXPECT_EQ(modify_filepath("../data/tracks", 2), "../data/msd_isf_tracks.dat");  // the dot of "../" is no extension
  EXPECT_EQ(modify_filepath("a.b/c.d.e", -5), "a.b/msd_isf_c.d.dat");
  EXPECT_EQ(modify_filepath("dir/", 9), "dir/msd_isf_.dat");
}

TEST(ResultPath, SimulationRanksUseFixedNamesUnderTheProjectDirectory) {
  const std::vector<std::string> jobs = make_job_table();
  ASSERT_EQ(jobs.size(), 9u);
  EXPECT_EQ(jobs[8], "../data/Simulation_data/Noise/combined/Data.dat");
  ASSERT_FALSE(PROJECT_ROOT.empty());
  EXPECT_EQ(PROJECT_ROOT.front(), '/');
  EXPECT_EQ(PROJECT_ROOT.back(), '/');
  for (int rank = 4; rank <= 8; ++rank) {
    EXPECT_EQ(modify_filepath(jobs[static_cast<std::size_t>(rank)], rank),
              std::string(PROJECT_ROOT) + "data/Simulation_data/msd_isf_" + std::to_string(rank - 3) + ".dat");
  }
  EXPECT_EQ(modify_filepath("anything/else.txt", 8), std::string(PROJECT_ROOT) + "data/Simulation_data/msd_isf_5.dat");
}

TEST(IntArguments, ConvertLikeTheStandardConversion) {
  EXPECT_EQ(convert_int_argument("3"), 3);
  EXPECT_EQ(convert_int_argument("  -7"), -7);
  EXPECT_EQ(convert_int_argument("+12"), 12);
  EXPECT_EQ(convert_int_argument("3abc"), 3);
  EXPECT_EQ(convert_int_argument("2147483647"), 2147483647);
  EXPECT_EQ(convert_int_argument("-2147483648"), -2147483647 - 1);
  EXPECT_FALSE(convert_int_argument("2147483648"));
  EXPECT_FALSE(convert_int_argument("99999999999999999999"));
  EXPECT_FALSE(convert_int_argument("abc"));
  EXPECT_FALSE(convert_int_argument(""));
  EXPECT_FALSE(convert_int_argument("-"));
  EXPECT_EQ(convert_int_argument(" 0x1f"), 0);  // "0", then the conversion stops
}

}  // namespace
}  // namespace msdisf
