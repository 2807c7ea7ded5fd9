// End-to-end tests of the msd_isf executable: arguments, echo lines, the
// out-of-range rank, and the announced result path. Each test runs the
// program in a scratch tree <tmp>/work with the job files under <tmp>/data.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace msdisf {
namespace {

using testing::run_program;
using testing::TempDir;

class DriverRun : public ::testing::Test {
 protected:
  DriverRun() { std::filesystem::create_directories(work()); }
  std::filesystem::path work() const { return tree.path() / "work"; }
  testing::ProgramResult run(const std::vector<std::string>& args) const {
    return run_program(MSD_ISF_PATH, args, work());
  }
  std::size_t files_in_tree() const {
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(tree.path())) {
      count += entry.is_regular_file() ? 1 : 0;
    }
    return count;
  }
  TempDir tree;
};

TEST_F(DriverRun, WrongArgumentCountPrintsUsageAndFails) {
  for (const auto& args : {std::vector<std::string>{}, {"1"}, {"1", "2", "3"}}) {
    const auto result = run(args);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err, std::string("Usage: ") + MSD_ISF_PATH + " <RANK> <Size>\n");
    EXPECT_EQ(result.out, "");
  }
}

TEST_F(DriverRun, OutOfRangeRanksExitCleanlyWithoutTouchingFiles) {
  for (const std::string rank : {"9", "-1", "2147483647"}) {
    const auto result = run({rank, "16"});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.out, "Rank: " + rank +
                              "\nSize: 16\nParameters are valid. Proceeding with program execution.\n"
                              "Rank exceeds number of files. Exiting.\n");
    EXPECT_EQ(result.err, "");
  }
  EXPECT_EQ(files_in_tree(), 0u);
}

TEST_F(DriverRun, ArgumentsThatAreNotIntegersStopBeforeAnythingIsEchoed) {
  const auto letters = run({"3", "abc"});
  EXPECT_EQ(letters.exit_status, 1);
  EXPECT_EQ(letters.out, "");
  EXPECT_EQ(letters.err, "Invalid <Size> argument \"abc\": not a decimal integer in the 32-bit range\n");

  const auto huge = run({"99999999999", "1"});
  EXPECT_EQ(huge.exit_status, 1);
  EXPECT_EQ(huge.err, "Invalid <RANK> argument \"99999999999\": not a decimal integer in the 32-bit range\n");

  const auto trailing = run({"9abc", "4x"});  // digits followed by letters convert
  EXPECT_EQ(trailing.exit_status, 0);
  EXPECT_EQ(trailing.out.substr(0, 16), "Rank: 9\nSize: 4\n");
}

TEST_F(DriverRun, SimulationRankAnnouncesItsFixedResultPath) {
  const auto result = run({"4", "1"});
  EXPECT_NE(result.out.find("Write ISF and MSD to: " MSDISF_SOURCE_DIR "/data/Simulation_data/msd_isf_1.dat\n"),
            std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("Reading file: ../data/Simulation_data/Noise/combined/1.dat\n"), std::string::npos);
}

}  // namespace
}  // namespace msdisf
