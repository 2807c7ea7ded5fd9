// End-to-end tests of the msd_isf executable: arguments, echo lines, the
// out-of-range rank, and the announced result path. Each test runs the
// program in a scratch tree <tmp>/work with the job files under <tmp>/data.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>

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
  /// Copies the shipped sample inputs (not result tables left by earlier runs) to <tmp>/data.
  void copy_sample_data() const {
    const std::filesystem::path source = MSDISF_SOURCE_DIR "/data";
    for (const auto& entry : std::filesystem::recursive_directory_iterator(source)) {
      const std::string name = entry.path().filename().string();
      if (!entry.is_regular_file() || name.rfind("msd_isf_", 0) == 0) continue;
      const std::filesystem::path target = tree.path() / "data" / std::filesystem::relative(entry.path(), source);
      std::filesystem::create_directories(target.parent_path());
      std::filesystem::copy_file(entry.path(), target);
    }
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

std::size_t line_count(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST_F(DriverRun, MultiTrajectoryRanksWriteTheirTablesBesideTheInput) {
  copy_sample_data();
  const std::pair<const char*, const char*> jobs[] = {{"0", "FreeQuorix/FreeQuorix_cropped_distinct"},
                                                      {"1", "mdf2/MDF2_cropped_distinct"}};
  for (const auto& [rank, stem] : jobs) {
    const std::string input = std::string("../data/") + stem + ".dat";
    const std::string table = std::string("../data/") + std::filesystem::path(stem).parent_path().string() +
                              "/msd_isf_" + std::filesystem::path(stem).filename().string() + ".dat";
    const auto result = run({rank, "1"});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "");
    // Fixed lines, then one debug line per trajectory, then the timing line.
    const std::string head = "Rank: " + std::string(rank) +
                             "\nSize: 1\nParameters are valid. Proceeding with program execution.\n"
                             "Write ISF and MSD to: " +
                             table + "\nReading file: " + input + "\n";
    ASSERT_EQ(result.out.substr(0, head.size()), head) << result.out;
    std::istringstream lines(result.out.substr(head.size()));
    std::string line;
    std::getline(lines, line);
    EXPECT_TRUE(std::regex_match(line, std::regex("so the file has [0-9]+ lines")));
    const std::vector<std::string> fixed = {"test", "Finished reading file: " + input, "",
                                            "Start Calculation of ISF and MSD for distinct trajectories"};
    for (const std::string& expected : fixed) {
      std::getline(lines, line);
      EXPECT_EQ(line, expected);
    }
    int debug_lines = 0;
    while (std::getline(lines, line) && line.rfind("i=", 0) == 0) ++debug_lines;
    EXPECT_GT(debug_lines, 10);
    EXPECT_TRUE(std::regex_match(line, std::regex("Finished Calculation of ISF and MSD; Time: [0-9]+ ms"))) << line;
    EXPECT_FALSE(std::getline(lines, line));
    const std::string text = testing::read_file(work() / table);
    EXPECT_GT(line_count(text), 100u);
    EXPECT_EQ(text.rfind("lag \t  msd \t", 0), 0u);
  }
}

TEST_F(DriverRun, SingleTrajectoryRanksWriteTheirTablesBesideTheInput) {
  copy_sample_data();
  const auto result = run({"3", "1"});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.err, "");
  const std::string input = "../data/mdf2/MDF2_cropped_combined_filtered.dat";
  const std::regex expected(
      "Rank: 3\nSize: 1\nParameters are valid. Proceeding with program execution.\n"
      "Write ISF and MSD to: ../data/mdf2/msd_isf_MDF2_cropped_combined_filtered.dat\n"
      "Reading file: " +
      input + "\nso the file has 2971 lines\nFinished reading file: " + input +
      "\n\nStart Calculation of ISF and MSD\n"
      "progress: processing msd and isf for lag 10 of 3000\n"
      "progress: processing msd and isf for lag 100 of 3000\n"
      "Finished Calculation of ISF and MSD; Time: [0-9]+ ms \n");
  EXPECT_TRUE(std::regex_match(result.out, expected)) << result.out;
  const std::string text = testing::read_file(tree.path() / "data/mdf2/msd_isf_MDF2_cropped_combined_filtered.dat");
  EXPECT_EQ(line_count(text), 3000u);  // header and lags 1..2999
}

TEST_F(DriverRun, AFinalTableThatCannotBeWrittenFailsTheRun) {
  copy_sample_data();
  const std::filesystem::path table = tree.path() / "data/FreeQuorix/msd_isf_FreeQuorix_cropped_distinct.dat";
  std::filesystem::create_directory(table);
  const auto result = run({"0", "1"});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.err, "Failed to write the file ../data/FreeQuorix/msd_isf_FreeQuorix_cropped_distinct.dat\n");
  EXPECT_TRUE(std::filesystem::is_directory(table));
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

  // An earlier table of the same job survives untouched.
  const std::string previous = "an earlier result\n";
  tree.write("data/FreeQuorix/msd_isf_FreeQuorix_cropped_distinct.dat", previous);
  EXPECT_EQ(run({"0", "1"}).exit_status, 1);
  EXPECT_EQ(testing::read_file(tree.path() / "data/FreeQuorix/msd_isf_FreeQuorix_cropped_distinct.dat"), previous);
}

}  // namespace
}  // namespace msdisf
