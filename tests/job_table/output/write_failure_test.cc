// The result table under a real write failure: with the file-size limit
// lowered, writing stops with EFBIG part-way through the table. The earlier
// table must survive byte for byte, no temporary file may be left, the
// failure must be reported, and the driver must exit with status 1.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <sstream>

#include "job_table/output/result_table.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace msdisf {
namespace {

const std::string kPrevious = "lag \t an earlier, complete table\n1.0000000\t2.0000000\n";

void expect_no_temporary(const std::filesystem::path& directory) {
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    EXPECT_EQ(entry.path().filename().string().find(".tmp."), std::string::npos) << entry.path();
  }
}

TEST(WriteFailure, ThePreviousTableSurvivesAFileSizeLimit) {
  testing::TempDir dir;
  const std::filesystem::path table = dir.write("table.dat", kPrevious);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{64 * 1024, 64 * 1024};
    setrlimit(RLIMIT_FSIZE, &limit);
    AnalysisState state(5000);
    state.N = 5000;  // about 4 MB of table
    std::ostringstream out, err;
    Console console{out, err};
    const bool written = print_data(state, table.string(), console);
    const bool reported = err.str() == "Failed to write the file " + table.string() + "\n";
    _exit(!written && reported ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "print_data did not fail with the expected message";
  EXPECT_EQ(testing::read_file(table), kPrevious);
  expect_no_temporary(dir.path());
}

TEST(WriteFailure, TheDriverExitsWithStatusOne) {
  testing::TempDir tree;
  const std::string input = "data/FreeQuorix/FreeQuorix_cropped_combined_filtered.dat";
  std::filesystem::create_directories(tree.path() / "data/FreeQuorix");
  std::filesystem::copy_file(MSDISF_SOURCE_DIR "/" + input, tree.path() / input);
  const std::filesystem::path table =
      tree.write("data/FreeQuorix/msd_isf_FreeQuorix_cropped_combined_filtered.dat", kPrevious);
  std::filesystem::create_directories(tree.path() / "work");
  const auto result = testing::run_program(MSD_ISF_PATH, {"2", "1"}, tree.path() / "work", 256 * 1024);
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.err,
            "Failed to write the file ../data/FreeQuorix/msd_isf_FreeQuorix_cropped_combined_filtered.dat\n");
  EXPECT_EQ(testing::read_file(table), kPrevious);
  expect_no_temporary(table.parent_path());
}

}  // namespace
}  // namespace msdisf
