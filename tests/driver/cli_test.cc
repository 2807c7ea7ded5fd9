// End-to-end tests of the msdisf executable: the same tables as the driver
// on the job files, each option, and one clear line with a non-zero status
// for every command line or file it cannot use.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "driver/progress_bar.h"
#include "input/capacity.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace msdisf {
namespace {

using testing::read_file;
using testing::run_program;

const std::string kSingle = "data/FreeQuorix/FreeQuorix_cropped_combined_filtered.dat";
const std::string kMulti = "data/FreeQuorix/FreeQuorix_cropped_distinct.dat";
const std::string kSimulation = "data/Simulation_data/Noise/combined/1.dat";

class MsdisfRun : public ::testing::Test {
 protected:
  MsdisfRun() {
    for (const std::string& file : {kSingle, kMulti, kSimulation}) {
      std::filesystem::create_directories((tree.path() / file).parent_path());
      std::filesystem::copy_file(std::string(MSDISF_SOURCE_DIR) + "/" + file, tree.path() / file);
    }
    std::filesystem::create_directories(tree.path() / "work");
  }
  testing::ProgramResult msdisf(const std::vector<std::string>& args) const {
    return run_program(MSDISF_PATH, args, tree.path() / "work");
  }
  std::vector<std::string> rows(const std::filesystem::path& table) const {
    std::istringstream text(read_file(table));
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
  }
  testing::TempDir tree;
};

TEST_F(MsdisfRun, WritesTheDriversTablesForTheJobFiles) {
  const std::pair<std::string, const char*> jobs[] = {{kSingle, "2"}, {kMulti, "0"}};
  for (const auto& [file, rank] : jobs) {
    const auto mine = msdisf({"-o", "mine.dat", "../" + file});
    ASSERT_EQ(mine.exit_status, 0) << mine.err;
    ASSERT_EQ(run_program(MSD_ISF_PATH, {rank, "1"}, tree.path() / "work").exit_status, 0);
    const std::filesystem::path driver_table =
        (tree.path() / file).parent_path() / ("msd_isf_" + std::filesystem::path(file).stem().string() + ".dat");
    EXPECT_EQ(read_file(tree.path() / "work/mine.dat"), read_file(driver_table)) << file;
  }
}

TEST_F(MsdisfRun, GuessesTheFormatAndNamesTheOutputLikeTheDriver) {
  const auto result = msdisf({"../" + kSingle});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.err,
            "msdisf: ../" + kSingle + ": the first record has 3 fields, reading it as x y t (choose with --format)\n");
  EXPECT_NE(result.out.find("Wrote ../data/FreeQuorix/msd_isf_FreeQuorix_cropped_combined_filtered.dat\n"),
            std::string::npos);
  EXPECT_TRUE(
      std::filesystem::exists(tree.path() / "data/FreeQuorix/msd_isf_FreeQuorix_cropped_combined_filtered.dat"));
}

TEST_F(MsdisfRun, MaxLagWritesTheFirstLagsOfTheFullTable) {
  ASSERT_EQ(msdisf({"-q", "-o", "all.dat", "../" + kSingle}).exit_status, 0);
  ASSERT_EQ(msdisf({"-q", "--max-lag", "50", "-o", "some.dat", "../" + kSingle}).exit_status, 0);
  const auto all = rows(tree.path() / "work/all.dat");
  const auto some = rows(tree.path() / "work/some.dat");
  ASSERT_EQ(some.size(), 51u);
  for (std::size_t i = 0; i < some.size(); ++i) EXPECT_EQ(some[i], all[i]) << "line " << i;

  ASSERT_EQ(msdisf({"-q", "--max-lag", "20", "-o", "pooled.dat", "../" + kMulti}).exit_status, 0);
  ASSERT_EQ(msdisf({"-q", "-o", "pooled_all.dat", "../" + kMulti}).exit_status, 0);
  const auto pooled = rows(tree.path() / "work/pooled.dat");
  const auto pooled_all = rows(tree.path() / "work/pooled_all.dat");
  ASSERT_EQ(pooled.size(), 21u);
  for (std::size_t i = 0; i < pooled.size(); ++i) EXPECT_EQ(pooled[i], pooled_all[i]) << "line " << i;
}

TEST_F(MsdisfRun, ExactAndFastPrintTheSameMomentsAndCounts) {
  ASSERT_EQ(
      msdisf({"-q", "--method", "exact", "--threads", "2", "--max-lag", "200", "-o", "exact.dat", "../" + kSingle})
          .exit_status,
      0);
  ASSERT_EQ(msdisf({"-q", "--method", "fast", "--max-lag", "200", "-o", "fast.dat", "../" + kSingle}).exit_status, 0);
  const auto exact = rows(tree.path() / "work/exact.dat");
  const auto fast = rows(tree.path() / "work/fast.dat");
  ASSERT_EQ(exact.size(), fast.size());
  for (std::size_t i = 1; i < exact.size(); ++i) {
    std::istringstream a(exact[i]), b(fast[i]);
    std::vector<std::string> x, y;
    for (std::string field; std::getline(a, field, '\t');) x.push_back(field);
    for (std::string field; std::getline(b, field, '\t');) y.push_back(field);
    ASSERT_EQ(x.size(), 96u);
    for (const std::size_t column : {0u, 1u, 2u, 3u, 4u, 95u}) EXPECT_EQ(x[column], y[column]) << i;
    for (std::size_t column = 5; column < 95; ++column) EXPECT_NEAR(std::stod(x[column]), std::stod(y[column]), 1.5e-7);
  }
}

TEST_F(MsdisfRun, OtherFormatsAndEstimators) {
  const auto simulation = msdisf({"-q", "--format", "txy", "--max-lag", "10", "-o", "sim.dat", "../" + kSimulation});
  EXPECT_EQ(simulation.exit_status, 0) << simulation.err;
  EXPECT_EQ(simulation.out, "");
  EXPECT_EQ(rows(tree.path() / "work/sim.dat").size(), 11u);

  const auto all_origins =
      msdisf({"-q", "--estimator", "all-origins", "--max-lag", "5", "-o", "all.dat", "../" + kSingle});
  EXPECT_EQ(all_origins.exit_status, 0);
  const auto table = rows(tree.path() / "work/all.dat");
  ASSERT_EQ(table.size(), 6u);
  // The window estimator's 2883 pairs at lag 1, plus the pair (0, 1).
  EXPECT_EQ(table[1].substr(table[1].rfind('\t') + 1), "2884.0000000");
}

TEST_F(MsdisfRun, HelpAndVersion) {
  const auto help = msdisf({"--help"});
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_NE(help.out.find("--max-lag"), std::string::npos);
  EXPECT_NE(help.out.find("Example:"), std::string::npos);
  const auto version = msdisf({"--version"});
  EXPECT_EQ(version.exit_status, 0);
  EXPECT_EQ(version.out.rfind("msdisf ", 0), 0u);
}

TEST_F(MsdisfRun, UnusableCommandLinesGetOneLineAndStatusTwo) {
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"--bogus", "x.dat"},
                                             {"../" + kSingle, "--max-lag"},
                                             {"--max-lag", "zero", "../" + kSingle},
                                             {"--format", "csv", "../" + kSingle},
                                             {},
                                             {"--estimator", "per-trajectory", "../" + kSingle},
                                             {"--format", "multi", "--estimator", "window", "../" + kMulti}}) {
    const auto result = msdisf(args);
    EXPECT_EQ(result.exit_status, 2) << result.err;
    EXPECT_EQ(result.err.rfind("msdisf: ", 0), 0u) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  }
  tree.write("work/two.dat", "1 2\n3 4\n");
  const auto unknown = msdisf({"two.dat"});
  EXPECT_EQ(unknown.exit_status, 2);
  EXPECT_EQ(
      unknown.err,
      "msdisf: two.dat: cannot tell the format, the first record has 2 fields; give --format xyt, txy or multi\n");
}

TEST_F(MsdisfRun, UnreadableInputsAndUnwritableOutputsFailWithStatusOne) {
  const auto missing = msdisf({"absent.dat"});
  EXPECT_EQ(missing.exit_status, 1);
  EXPECT_EQ(missing.err, "Error opening file: absent.dat\n");

  const auto unwritable = msdisf({"-o", "no/such/dir/table.dat", "../" + kSingle});
  EXPECT_EQ(unwritable.exit_status, 1);
  EXPECT_EQ(unwritable.err, "Failed to open the file no/such/dir/table.dat\n");
  EXPECT_EQ(unwritable.out, "");  // refused before any work
}

TEST(ProgressBar, ShowsFractionElapsedAndTimeLeft) {
  std::ostringstream out;
  ProgressBar bar(out);
  bar.update(0.5);
  bar.finish();
  const std::string text = out.str();
  EXPECT_NE(text.find("\r[###############...............]  50%  elapsed 0:00  left 0:00"), std::string::npos) << text;
  EXPECT_NE(text.find("\r[##############################] 100%"), std::string::npos);
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(clock_text(61.4), "1:01");

  // A message written while the bar is shown erases the bar first.
  std::ostringstream terminal;
  ProgressBar shown(terminal);
  LineStartHook hook(terminal.rdbuf(), [&shown] { shown.clear(); });
  std::ostream messages(&hook);
  shown.update(0.25);
  messages << "a message\n" << std::flush;
  EXPECT_NE(terminal.str().find("   \r\033[2Ka message\n"), std::string::npos) << terminal.str();
  EXPECT_EQ(clock_text(3725), "1:02:05");
}

TEST(Capacity, BoundsTheEntriesAReaderStores) {
  EXPECT_EQ(entries_bound("", RecordLayout::kXYT), 1);
  EXPECT_EQ(entries_bound("0 0 1\n0 0 2\n0 0 7\n", RecordLayout::kXYT), 7);
  EXPECT_EQ(entries_bound("3 0 0\n9.5 0 0\n", RecordLayout::kTXY), 8);
  EXPECT_EQ(entries_bound("0 0 1 0\n0 0 5 0\n0 0 1 1\n", RecordLayout::kMulti), 6);
  EXPECT_EQ(first_record_fields("\n  \n1 2\t3\r\n4 5 6 7\n"), 3);
  EXPECT_EQ(first_record_fields("\n\n"), 0);
}

}  // namespace
}  // namespace msdisf
