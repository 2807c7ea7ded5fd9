// End-to-end tests of the msdisf executable: the same tables as the driver
// on the job files, each option, and one clear line with a non-zero status
// for every command line or file it cannot use.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <sstream>
#include <tuple>

#include "cli/progress_bar.h"
#include "job_table/input/capacity.h"
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

TEST_F(MsdisfRun, JobTableOutputIsTheDriversTable) {
  const std::tuple<std::string, const char*, const char*> jobs[] = {{kSingle, "2", "xyt"}, {kMulti, "0", "multi"}};
  for (const auto& [file, rank, format] : jobs) {
    const auto mine = msdisf({"--format", format, "--job-table-output", "-o", "mine.dat", "../" + file});
    ASSERT_EQ(mine.exit_status, 0) << mine.err;
    EXPECT_EQ(mine.out, "");
    ASSERT_EQ(run_program(MSD_ISF_PATH, {rank, "1"}, tree.path() / "work").exit_status, 0);
    const std::filesystem::path driver_table =
        (tree.path() / file).parent_path() / ("msd_isf_" + std::filesystem::path(file).stem().string() + ".dat");
    EXPECT_EQ(read_file(tree.path() / "work/mine.dat"), read_file(driver_table)) << file;
    ASSERT_EQ(msdisf({"-q", "--format", format, "--job-table-output", "--max-lag", "20", "-o", "some.dat",
                      "../" + file})
                  .exit_status,
              0);
    const auto all = rows(tree.path() / "work/mine.dat");
    const auto some = rows(tree.path() / "work/some.dat");
    ASSERT_EQ(some.size(), 21u);
    for (std::size_t i = 0; i < some.size(); ++i) EXPECT_EQ(some[i], all[i]) << "line " << i;
  }
}

TEST_F(MsdisfRun, MethodsAgree) {
  std::map<std::string, std::vector<std::vector<std::string>>> tables;
  for (const std::string method : {"exact", "ordered", "fast"}) {
    ASSERT_EQ(msdisf({"-q", "--method", method, "--quantities", "job-table", "--lags", "log:40", "--no-metadata",
                      "-o", method + ".tsv", "../" + kMulti})
                  .exit_status,
              0);
    for (const auto& line : rows(tree.path() / ("work/" + method + ".tsv"))) {
      std::istringstream in(line);
      std::vector<std::string> fields;
      for (std::string field; std::getline(in, field, '\t');) fields.push_back(field);
      ASSERT_EQ(fields.size(), 98u);
      tables[method].push_back(fields);
    }
  }
  const auto& exact = tables["exact"];
  ASSERT_EQ(exact.size(), 41u);
  for (std::size_t i = 1; i < exact.size(); ++i) {
    // lag, pairs and the moments: the ordered sums are the exact ones bit for bit.
    for (std::size_t column = 0; column < 8; ++column) {
      EXPECT_EQ(tables["ordered"][i][column], exact[i][column]) << i;
      EXPECT_NEAR(std::stod(tables["fast"][i][column]), std::stod(exact[i][column]),
                  1e-9 * std::fabs(std::stod(exact[i][column])) + 1e-12)
          << i;
    }
    for (std::size_t column = 8; column < 98; ++column) {
      EXPECT_NEAR(std::stod(tables["ordered"][i][column]), std::stod(exact[i][column]), 1e-9);
      EXPECT_NEAR(std::stod(tables["fast"][i][column]), std::stod(exact[i][column]), 1e-10);
    }
  }
}

TEST_F(MsdisfRun, ErrorsThenFit) {
  ASSERT_EQ(msdisf({"-q", "--errors", "--lags", "log:30", "--scales", "2", "-o", "e.tsv", "../" + kMulti}).exit_status,
            0);
  const auto table = rows(tree.path() / "work/e.tsv");
  EXPECT_NE(table[1].find("\talpha2\tfs[0.5]\tmsd_se\tmsd_x_se\tmsd_y_se\talpha2_se\tfs_se[0.5]\tse_groups"), std::string::npos) << table[1];
  const auto fit = msdisf({"fit", "e.tsv", "--lags", "1:10", "--json"});
  ASSERT_EQ(fit.exit_status, 0) << fit.err;
  const std::size_t at = fit.out.find("\"D\": ");
  ASSERT_NE(at, std::string::npos) << fit.out;
  EXPECT_GT(std::stod(fit.out.substr(at + 5)), 0.0) << fit.out;
  EXPECT_NE(msdisf({"fit", "e.tsv", "--lags", "1:10"}).out.find("alpha  = "), std::string::npos);
  // Without errors, a bad range, a range without rows: one line each.
  ASSERT_EQ(msdisf({"-q", "--lags", "1,2,3", "-o", "plain.tsv", "../" + kMulti}).exit_status, 0);
  for (const auto& [args, status] : std::vector<std::pair<std::vector<std::string>, int>>{
           {{"fit", "plain.tsv", "--lags", "1:3"}, 3},
           {{"fit", "e.tsv", "--lags", "10"}, 2},
           {{"fit", "e.tsv", "--lags", "100000:200000"}, 3},
           {{"fit", "missing.tsv", "--lags", "1:2"}, 1}}) {
    const auto result = msdisf(args);
    EXPECT_EQ(result.exit_status, status) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  }
  EXPECT_NE(msdisf({"fit", "plain.tsv", "--lags", "1:3"}).err.find("plain.tsv: line 2: "), std::string::npos);
}

TEST_F(MsdisfRun, HelpAndVersion) {
  const auto help = msdisf({"--help"});
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_NE(help.out.find("--lags"), std::string::npos);
  EXPECT_NE(help.out.find("Exit status: 0 done; 1"), std::string::npos);
  EXPECT_NE(help.out.find("log:K:L gives the same lags for every file"), std::string::npos);
  const auto version = msdisf({"--version"});
  EXPECT_EQ(version.exit_status, 0);
  EXPECT_EQ(version.out.rfind("msdisf ", 0), 0u);
}

TEST_F(MsdisfRun, UnusableCommandLinesGetOneLineAndStatusTwo) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--bogus", "x.dat"},
           {"../" + kSingle, "--max-lag"},
           {"--max-lag", "zero", "../" + kSingle},
           {"--format", "csv", "../" + kSingle},
           {},
           {"--lags", "log:0", "../" + kSingle},
           {"--lags", "1,x", "../" + kSingle},
           {"--scales", "1,0", "../" + kSingle},
           {"--scales", "1e-320", "../" + kSingle},
           {"--dt", "0.1", "--fps", "10", "../" + kSingle},
           {"-o", "a.tsv", "../" + kSingle, "../" + kMulti},
           {"--job-table-output", "../" + kSingle},
           {"--errors", "--quantities", "md,mcd", "../" + kSingle},
           {"--format", "multi", "--job-table-output", "--estimator", "window", "../" + kMulti},
           {"-o", "", "../" + kSingle},
           {"--output-dir", "", "../" + kSingle},
           {"--threads", "-1", "../" + kSingle},
           {"--threads", "99999999999999999999", "../" + kSingle},
           {"--mpp", "0", "../" + kSingle},
           {"--frame", "3", "--time", "3", "../" + kSingle}}) {
    const auto result = msdisf(args);
    EXPECT_EQ(result.exit_status, 2) << result.err;
    EXPECT_LT(result.err.size(), 160u) << result.err;
    EXPECT_EQ(result.err.rfind("msdisf: ", 0), 0u) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  }
}

TEST(ProgressBar, ShowsFractionElapsedAndTimeLeft) {
  std::ostringstream out;
  ProgressBar bar(out);
  bar.update(0.5);
  bar.finish();
  const std::string text = out.str();
  EXPECT_NE(text.find("\r[###############...............]  50%  elapsed 0:00  left 0:00"), std::string::npos) << text;
  EXPECT_EQ(text.substr(text.size() - 5), "\r\033[2K");  // erased at the end
  std::ostringstream quiet;
  ProgressBar later(quiet, std::chrono::milliseconds(60000));
  later.update(0.5);
  EXPECT_EQ(quiet.str(), "");  // nothing before the delay
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
}

}  // namespace
}  // namespace msdisf
