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
  /// Copies the shipped sample inputs to <tmp>/data.
  void copy_sample_data() const {
    std::filesystem::copy(MSDISF_SOURCE_DIR "/data", tree.path() / "data", std::filesystem::copy_options::recursive);
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

TEST_F(DriverRun, SimulationRanksOnlyReadTheirFiles) {
  copy_sample_data();
  const std::size_t files_before = files_in_tree();
  const char* names[] = {"1", "2", "3", "4", "Data"};
  const int lines[] = {5000, 10000, 10000, 20000, 20000};
  for (int rank = 4; rank <= 8; ++rank) {
    const std::string input = std::string("../data/Simulation_data/Noise/combined/") + names[rank - 4] + ".dat";
    const auto result = run({std::to_string(rank), "1"});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, "Rank: " + std::to_string(rank) +
                              "\nSize: 1\nParameters are valid. Proceeding with program execution.\n"
                              "Write ISF and MSD to: " MSDISF_SOURCE_DIR "/data/Simulation_data/msd_isf_" +
                              std::to_string(rank - 3) + ".dat\nReading file: " + input + "\nso the file has " +
                              std::to_string(lines[rank - 4]) + " lines\nFinished reading file: " + input + "\n\n");
  }
  EXPECT_EQ(files_in_tree(), files_before);
}

TEST_F(DriverRun, AnInputThatCannotBeOpenedEndsTheRunWithStatusOne) {
  for (int rank = 0; rank <= 8; ++rank) {
    const auto result = run({std::to_string(rank), "1"});
    EXPECT_EQ(result.exit_status, 1) << rank;
    const std::size_t reading = result.out.find("Reading file: ../data/");
    ASSERT_NE(reading, std::string::npos) << rank;
    EXPECT_EQ(result.out.find('\n', reading), result.out.size() - 1) << "nothing after the reading line";
    EXPECT_EQ(result.err.rfind("Error opening file: ../data/", 0), 0u) << result.err;
  }
  EXPECT_EQ(files_in_tree(), 0u);
}

}  // namespace
}  // namespace msdisf
