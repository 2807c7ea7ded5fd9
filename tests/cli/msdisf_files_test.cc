// msdisf on the files people have, and on the places they ask it to write:
// one table of real-world inputs with their expected status, message and
// result, then the output-safety cases.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <algorithm>
#include <thread>

#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

extern char** environ;

namespace msdisf {
namespace {

using testing::read_file;
using testing::run_program;
namespace fs = std::filesystem;

// Two particles, three frames each: lag 1 has 4 pairs, lag 2 has 2.
const char* kTracksCsv =
    "frame,particle,x,y,mass,size\n1,0,1.0,2.0,5,3\n1,1,5.0,5.0,5,3\n2,0,1.5,2.5,5,3\n"
    "2,1,5.5,4.0,5,3\n3,0,2.0,2.0,5,3\n3,1,6.0,4.5,5,3\n";

// The pair counts of a written table ("" when there is none).
std::string pair_counts(const fs::path& table) {
  std::istringstream in(read_file(table));
  std::string line, counts;
  int column = -1;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::vector<std::string> values;
    for (std::string field; fields >> field;) values.push_back(field);
    if (column < 0) {
      column = static_cast<int>(std::find(values.begin(), values.end(), "pairs") - values.begin());
      continue;
    }
    counts += (counts.empty() ? "" : " ") + values.at(static_cast<std::size_t>(column));
  }
  return counts;
}

TEST(MsdisfInputs, RealWorldFiles) {
  struct Case {
    const char* name;
    std::string content;
    std::vector<std::string> options;
    int status;
    const char* message;  // a part of standard error
    const char* pairs;    // pair counts of the written table, or "" for none
  };
  std::string crlf_comments = "# exported by a tracker\r\n\r\nframe particle x y\r\n";
  std::istringstream rows(kTracksCsv);
  std::string row;
  std::getline(rows, row);
  while (std::getline(rows, row)) {
    std::string spaced = row.substr(0, row.rfind(",5,3"));
    std::replace(spaced.begin(), spaced.end(), ',', ' ');
    crlf_comments += spaced + "\r\n";
  }
  std::string tsv = kTracksCsv;
  std::replace(tsv.begin(), tsv.end(), ',', '\t');
  std::string seconds = "t,x,y\n";
  for (int k = 0; k < 6; ++k) seconds += std::to_string(k * 0.01 + (k == 3 ? 1e-17 : 0.0)) + "," + std::to_string(k) + ",0\n";
  seconds += "0.07000000000000001,7,0\n";
  const Case cases[] = {
      {"csv with a header", kTracksCsv, {}, 0, "comma-separated with a header; x = 'x', y = 'y', frame = 'frame', particle = 'particle'", "4 2"},
      {"tsv with a header", tsv, {}, 0, "tab-separated with a header", "4 2"},
      {"spaces, comments, blank lines, CRLF", crlf_comments, {}, 0, "white-space-separated with a header", "4 2"},
      {"times in seconds", seconds, {"--dt", "0.01"}, 0, "time = 't', one particle", "5 5 4 3 2 1 1"},
      {"times off the grid", "t x y\n0 0 0\n0.01 1 1\n0.025 2 2\n", {"--dt", "0.01"}, 3,
       "line 4, column 't': time 0.025 lies 50 % of a step off the grid of dt = 0.01", ""},
      {"times without dt: dt inferred", "t x y\n0 0 0\n0.5 1 1\n1 2 2\n1.5 3 3\n", {}, 0,
       "dt = 0.5, the most common step of 't'", "3 2 1"},
      {"a time column chosen by name", "step_s x y\n0 0 0\n0.5 1 1\n1 2 2\n", {"--time", "step_s", "--dt", "0.5"}, 0,
       "time = 'step_s'", "2 1"},
      {"fps on frame numbers adds time only", kTracksCsv, {"--fps", "20"}, 0, "frame = 'frame'", "4 2"},
      {"frames every 10 steps", "step,x,y\n0,0,0\n10,1,0\n20,2,0\n", {}, 0, "frames step by 10", "2 1"},
      {"dt ten times too small", "t x y\n0 0 0\n0.5 1 1\n1 2 2\n", {"--dt", "0.05"}, 0, "frames step by 10", "2 1"},
      {"requested lags without pairs", kTracksCsv, {"--lags", "7,9"}, 3,
       "no pair of records of one particle is at lags 7, 9 (the frame differences between neighbouring records are 1)", ""},
      {"repeated particle and frame", "frame,particle,x,y\n1,0,0,0\n2,0,1,1\n1,0,2,2\n", {}, 3,
       "lines 2 and 4 both hold particle '0' at frame 1", ""},
      {"text particle ids", "frame,track_id,x,y\n1,c10_30,0,0\n1,c10_31,5,5\n2,c10_30,1,1\n2,c10_31,6,6\n3,c10_30,2,2\n", {},
       0, "particle = 'track_id'", "3 1"},
      {"per-particle rows", "frame,track_id,x,y\n1,c10_30,0,0\n1,c10_31,5,5\n2,c10_30,1,1\n2,c10_31,6,6\n3,c10_30,2,2\n",
       {"--per-particle"}, 0, "particle = 'track_id'", "2 1 1"},
      {"a repeated text id names it", "frame,particle,x,y\n1,c7,0,0\n1,c7,1,1\n", {}, 3,
       "lines 2 and 3 both hold particle 'c7' at frame 1", ""},
      {"ids from 2^53 on stay apart",
       "particle,frame,x,y\n9007199254740993,0,0,0\n9007199254740993,1,1,1\n9007199254740992,2,0,0\n"
       "9007199254740992,3,3,3\n",
       {"--per-particle"}, 0, "particle = 'particle'", "1 1"},
      {"a frame from 2^53 on", "frame,x,y\n9007199254740993,0,0\n", {}, 3, "is too large a frame", ""},
      {"a byte-order mark", "\xEF\xBB\xBF" + std::string(kTracksCsv), {}, 0, "frame = 'frame'", "4 2"},
      {"NA and empty positions are missing", "frame,x,y\n1,0,0\n2,NA,1\n3,,2\n4,3,3\n", {}, 0,
       "2 records have no position", "0 0 1"},
      {"1e-400 is a number", "1e-400 0 1\n1 0 2\n2 0 3\n", {}, 0, "frame = '3'", "2 1"},
      {"one huge token", std::string(2'000'000, '7') + "x\n", {}, 3, "(2000001 characters) is neither a number", ""},
      {"a comment names the columns", "# t x y\n0.0 0 0\n0.25 1 0\n0.5 2 0\n", {}, 0,
       "with a header comment; x = 'x', y = 'y', time = 't'", "2 1"},
      {"t x y without a header", "1 0.5 0.25\n2 1.5 0.75\n3 2.5 1.25\n", {}, 0, "x = '2', y = '3', frame = '1'", "2 1"},
      {"a fractional headerless frame is refused", "0.5 0.25 1\n1.5 0.75 1.75\n2.5 1.25 3\n", {}, 3,
       "line 2, column '3': '1.75' is not a whole frame number (for a column of times, give --dt or --fps, or name it with "
       "--time) (no header: read as x y t", ""},
      {"... or read as times with --dt", "0.5 0.25 0.75\n1.5 0.75 1.5\n2.5 1.25 2.25\n", {"--dt", "0.75"}, 0,
       "time = '3'", "2 1"},
      {"text in the middle", "x y frame\n0 0 1\nabc 0 2\n1 1 3\n", {}, 3, "line 3, column 'x': 'abc' is not a number", ""},
      {"skipping bad lines", "x y frame\n0 0 1\nabc 0 2\n1 1 3\n", {"--skip-bad-lines"}, 0,
       "skipped 1 unusable line (3)", "1"},
      {"a truncated last line", "x,y,frame,id\n0,0,1,1\n1,1,2,1\n2,2", {}, 3, "line 4: 2 fields, 4 needed", ""},
      {"a header only", "frame,particle,x,y\n", {}, 3, "there are no records", ""},
      {"no pair", "frame,particle,x,y\n1,0,0,0\n1,1,1,1\n", {}, 3, "no pair of records of one particle is there at all", ""},
      {"infinite position", "x y frame\n0 0 1\ninf 0 2\n", {}, 3, "line 3, column 'x': 'inf' is not a finite number", ""},
      {"columns by number", "a b c\n0 9 1\n1 9 2\n", {"--columns", "1,2,3"}, 0, "x = 'a', y = 'b', frame = 'c'", "1"},
      {"a missing column name", "a b c\n0 9 1\n", {"--x", "pos"}, 3,
       "there is no column 'pos' for x (the columns are 'a', 'b', 'c')", ""},
      {"no frame column lists the columns", "x,y,when\n0,0,1\n", {}, 3,
       "no column looks like a frame or a time; name it with --frame or --time (the columns are 'x', 'y', 'when')", ""},
      {"xyt with too few fields", "1 2\n", {"--format", "xyt"}, 3, "line 1: 2 fields, 3 needed for x y t", ""},
      {"txy with one field", "1\n", {"--format", "txy"}, 3, "line 1: 1 field, 3 needed for t x y", ""},
      {"multi with too few fields", "1 2 3\n", {"--format", "multi"}, 3, "line 1: 3 fields, 4 needed for x y t particle", ""},
      {"a z column: three dimensions", "frame,particle,x,y,z\n1,0,0,0,0\n2,0,1,1,1\n3,0,2,2,3\n", {}, 0,
       "x = 'x', y = 'y', z = 'z', frame = 'frame'", "2 1"},
      {"z chosen by name", "a b c d\n0 0 1 5\n1 1 2 5\n", {"--columns", "1,2,3", "--z", "d"}, 0, "z = 'd'", "1"},
      {"a missing z", "frame,x,y,z\n1,0,0,NA\n2,1,1,1\n3,2,2,2\n", {}, 0,
       "1 record has no position (an empty, NA or nan x, y or z)", "1 0"},
      {"no y column: x alone", "frame,x\n1,0\n2,1\n3,3\n", {}, 0,
       "no y column: one dimension, along x alone, is analysed", "2 1"},
      {"z without y", "frame,x,z\n1,0,0\n", {}, 3, "line 1: no column looks like y; name it with --y", ""},
      {"per-particle rows in three dimensions",
       "frame,particle,x,y,z\n1,0,0,0,0\n2,0,1,1,1\n3,0,2,2,3\n1,1,5,5,5\n2,1,6,6,6\n", {"--per-particle"}, 0,
       "z = 'z'", "2 1 1"},
  };
  for (const Case& c : cases) {
    testing::TempDir dir;
    dir.write("in.txt", c.content);
    std::vector<std::string> args = c.options;
    args.push_back("in.txt");
    const auto result = run_program(MSDISF_PATH, args, dir.path());
    EXPECT_EQ(result.exit_status, c.status) << c.name << "\n" << result.err;
    EXPECT_NE(result.err.find(c.message), std::string::npos) << c.name << "\n" << result.err;
    std::istringstream lines(result.err);
    for (std::string line; std::getline(lines, line);) EXPECT_EQ(line.rfind("msdisf: ", 0), 0u) << c.name << ": " << line;
    EXPECT_EQ(pair_counts(dir.path() / "in.msdisf.tsv"), c.pairs) << c.name;
  }
}

TEST(MsdisfInputs, LengthPerPixelScalesPositionsAndIsRecorded) {
  // One particle moving 2 px a frame: msd at lag 1 is 8 px^2, 8 * 0.25^2 with --mpp 0.25.
  testing::TempDir dir;
  dir.write("in.csv", "frame,x,y\n0,0,0\n1,2,2\n2,4,4\n");
  const auto result = run_program(MSDISF_PATH, {"--mpp", "0.25", "--fps", "4", "-o", "-", "in.csv"}, dir.path());
  ASSERT_EQ(result.exit_status, 0) << result.err;
  EXPECT_NE(result.out.find("; dt: 0.25; mpp: 0.25; "), std::string::npos) << result.out.substr(0, 200);
  EXPECT_NE(result.out.find("\n1\t0.25\t2\t0.5\t"), std::string::npos) << result.out.substr(0, 400);
  // z too: 3 * (2 * 0.25)^2 at lag 1.
  dir.write("in3.csv", "frame,x,y,z\n0,0,0,0\n1,2,2,2\n2,4,4,4\n");
  const auto three = run_program(MSDISF_PATH, {"--mpp", "0.25", "--fps", "4", "-o", "-", "in3.csv"}, dir.path());
  ASSERT_EQ(three.exit_status, 0) << three.err;
  EXPECT_NE(three.out.find("; dimensions: 3; dt: 0.25; mpp: 0.25; "), std::string::npos) << three.out.substr(0, 200);
  EXPECT_NE(three.out.find("\n1\t0.25\t2\t0.75\t"), std::string::npos) << three.out.substr(0, 400);
}

// The numbers of a written table, row by row, without its comment line.
std::vector<std::vector<double>> table_numbers(const std::string& text) {
  std::vector<std::vector<double>> rows;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#' || line.rfind("lag", 0) == 0) continue;
    std::istringstream fields(line);
    rows.emplace_back();
    for (std::string f; std::getline(fields, f, '\t');) rows.back().push_back(std::stod(f));
  }
  return rows;
}

TEST(MsdisfInputs, SumsOfShardsMergeIntoTheTableOfAll) {
  testing::TempDir dir;
  std::string all = "frame,particle,x,y\n", shard[3] = {all, all, all};
  for (int p = 0; p < 9; ++p) {
    for (int f = 0; f < 40 + 7 * p; ++f) {
      const std::string row = std::to_string(f) + ",p" + std::to_string(p) + "," + std::to_string(std::sin(f * 0.3 + p) * 4) +
                              "," + std::to_string(0.1 * f * p) + "\n";
      all += row, shard[p % 3] += row;
    }
  }
  dir.write("all.csv", all);
  std::vector<std::string> merge = {"merge", "-o", "pooled.tsv"};
  for (int k = 0; k < 3; ++k) {
    dir.write("s" + std::to_string(k) + ".csv", shard[k]);
    const auto made = run_program(MSDISF_PATH, {"-q", "--sums", "--lags", "log:20:90", "--fps", "10",
                                                "s" + std::to_string(k) + ".csv"}, dir.path());
    ASSERT_EQ(made.exit_status, 0) << made.err;
    merge.push_back("s" + std::to_string(k) + ".msdisf.sums");
  }
  ASSERT_EQ(run_program(MSDISF_PATH, merge, dir.path()).exit_status, 0);
  ASSERT_EQ(run_program(MSDISF_PATH, {"-q", "--lags", "log:20:90", "--fps", "10", "-o", "one.tsv", "all.csv"}, dir.path())
                .exit_status, 0);
  const auto pooled = table_numbers(read_file(dir.path() / "pooled.tsv"));
  const auto one = table_numbers(read_file(dir.path() / "one.tsv"));
  ASSERT_EQ(pooled.size(), one.size());
  ASSERT_EQ(pooled.size(), 20u);
  for (std::size_t r = 0; r < one.size(); ++r) {
    ASSERT_EQ(pooled[r].size(), one[r].size());
    for (std::size_t c = 0; c < one[r].size(); ++c) {
      ASSERT_NEAR(pooled[r][c], one[r][c], 1e-12 * std::max(1.0, std::fabs(one[r][c]))) << "row " << r << " column " << c;
    }
  }
  // A particle in two shards, and a sums file cut short: status 3, one line, nothing written.
  const auto twice = run_program(MSDISF_PATH, {"merge", "-o", "t.tsv", "s0.msdisf.sums", "s0.msdisf.sums"}, dir.path());
  EXPECT_EQ(twice.exit_status, 3);
  EXPECT_NE(twice.err.find("' is in both s0.csv and s0.csv"), std::string::npos) << twice.err;
  const std::string sums = read_file(dir.path() / "s1.msdisf.sums");
  dir.write("cut.sums", sums.substr(0, sums.size() / 2));
  const auto cut = run_program(MSDISF_PATH, {"merge", "-o", "t.tsv", "s0.msdisf.sums", "cut.sums"}, dir.path());
  EXPECT_EQ(cut.exit_status, 3);
  EXPECT_EQ(cut.err.rfind("msdisf merge: cut.sums: line ", 0), 0u) << cut.err;
  EXPECT_FALSE(fs::exists(dir.path() / "t.tsv"));
  // Files of one particle each are particles of their own.
  for (const char* name : {"one.txt", "two.txt"}) {
    dir.write(name, "x y frame\n0 0 1\n1 1 2\n");
    ASSERT_EQ(run_program(MSDISF_PATH, {"-q", "--sums", "--lags", "1", name}, dir.path()).exit_status, 0);
  }
  const auto singles = run_program(MSDISF_PATH, {"merge", "-o", "-", "one.msdisf.sums", "two.msdisf.sums"}, dir.path());
  EXPECT_EQ(singles.exit_status, 0) << singles.err;
  EXPECT_NE(singles.out.find("\n1\t2\t2\t"), std::string::npos) << singles.out.substr(0, 300);
  // In three dimensions alike; sums of two and three dimensions do not merge.
  for (const char* name : {"a3.txt", "b3.txt"}) {
    dir.write(name, "x y z frame\n0 0 0 1\n1 1 1 2\n");
    ASSERT_EQ(run_program(MSDISF_PATH, {"-q", "--sums", "--lags", "1", name}, dir.path()).exit_status, 0);
  }
  const auto cubes = run_program(MSDISF_PATH, {"merge", "-o", "-", "a3.msdisf.sums", "b3.msdisf.sums"}, dir.path());
  EXPECT_EQ(cubes.exit_status, 0) << cubes.err;
  EXPECT_NE(cubes.out.find("particles; dimensions: 3\n"), std::string::npos) << cubes.out.substr(0, 300);
  EXPECT_NE(cubes.out.find("\n1\t2\t3\t"), std::string::npos) << cubes.out.substr(0, 300);
  const auto mixed = run_program(MSDISF_PATH, {"merge", "-o", "-", "one.msdisf.sums", "a3.msdisf.sums"}, dir.path());
  EXPECT_EQ(mixed.exit_status, 3);
  EXPECT_NE(mixed.err.find("a3.msdisf.sums: the sums differ in dimensions (2 against 3)"), std::string::npos) << mixed.err;
}

// -q leaves out what only informs (threads, the grid of frames, missing
// positions) and keeps what warns about the results.
TEST(MsdisfInputs, QuietKeepsOnlyWarnings) {
  testing::TempDir dir;
  dir.write("s.csv", "frame,x,y\n0,0,0\n2,NA,1\n4,1,1\n6,2,0\n8,2,2\n");
  const auto quiet = run_program(MSDISF_PATH, {"-q", "--threads", "64", "-o", "t.tsv", "s.csv"}, dir.path());
  EXPECT_EQ(quiet.exit_status, 0);
  EXPECT_EQ(quiet.err, "");
  const auto told = run_program(MSDISF_PATH, {"--threads", "64", "-o", "t.tsv", "s.csv"}, dir.path());
  for (const char* said : {"threads, one per processor", "frames step by 2", "1 record has no position"}) {
    EXPECT_NE(told.err.find(said), std::string::npos) << said << " in " << told.err;
  }
  const auto warned = run_program(MSDISF_PATH, {"-q", "--q", "400", "-o", "t.tsv", "s.csv"}, dir.path());
  EXPECT_NE(warned.err.find("fs[400] is NaN from lag"), std::string::npos) << warned.err;
}

TEST(MsdisfInputs, GzipManyFilesAndAListOfThem) {
  testing::TempDir dir;
  dir.write("a.csv", kTracksCsv);
  dir.write("b.csv", "frame,particle,x,y\n1,0,0,0\n");  // no pair: status 3
  ASSERT_EQ(std::system(("gzip -k " + (dir.path() / "a.csv").string()).c_str()), 0);
  dir.write("list.txt", "a.csv.gz\n# a comment\nb.csv\n");
  const auto result = run_program(MSDISF_PATH, {"--inputs-from", "list.txt", "--output-dir", "out", "--output-format", "csv"},
                                  dir.path());
  EXPECT_EQ(result.exit_status, 3) << result.err;
  EXPECT_NE(result.err.find("msdisf: a.csv.gz: wrote out/a.msdisf.csv"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("msdisf: 2 inputs, worst status 3"), std::string::npos) << result.err;
  EXPECT_FALSE(fs::exists(dir.path() / "out/b.msdisf.csv"));
  const auto no_list = run_program(MSDISF_PATH, {"--inputs-from", "missing.txt"}, dir.path());
  EXPECT_EQ(no_list.exit_status, 1);
  EXPECT_NE(no_list.err.find("missing.txt: cannot be read: No such file or directory"), std::string::npos) << no_list.err;
  // A compressed file cut short or damaged is refused, not read in part.
  ASSERT_EQ(std::system(("cd " + dir.path().string() + " && head -c -12 a.csv.gz > cut.csv.gz && cp a.csv.gz bad.csv.gz" +
                         " && printf 'X' | dd of=bad.csv.gz bs=1 seek=30 conv=notrunc status=none")
                            .c_str()),
            0);
  for (const auto& [name, reason] : {std::pair{"cut.csv.gz", "its gzip data ends early"},
                                     std::pair{"bad.csv.gz", "its gzip data is damaged ("}}) {
    const auto refused = run_program(MSDISF_PATH, {"-o", "t.tsv", name}, dir.path());
    EXPECT_EQ(refused.exit_status, 1) << name;
    EXPECT_NE(refused.err.find(std::string(name) + ": cannot be read: " + reason), std::string::npos) << refused.err;
    EXPECT_FALSE(fs::exists(dir.path() / "t.tsv"));
  }
  const std::string table = read_file(dir.path() / "out/a.msdisf.csv");
  EXPECT_NE(table.find("\nlag,pairs,msd,msd_x,msd_y,mean_dx,mean_dy,msd_centered,alpha2\n"), std::string::npos);
  EXPECT_NE(table.find("\n1,4,0.6875,"), std::string::npos) << table.substr(0, 400);
}

class MsdisfOutput : public ::testing::Test {
 protected:
  MsdisfOutput() { dir.write("in.csv", kTracksCsv); }
  testing::ProgramResult run(const std::vector<std::string>& args, long size_limit = -1) const {
    return run_program(MSDISF_PATH, args, dir.path(), size_limit);
  }
  bool temporaries_left() const {
    for (const auto& entry : fs::directory_iterator(dir.path())) {
      if (entry.path().filename().string().find(".tmp.") != std::string::npos) return true;
    }
    return false;
  }
  testing::TempDir dir;
};

TEST_F(MsdisfOutput, NeverOntoTheInputNorADirectoryNorAnUnwritablePlace) {
  const auto onto_input = run({"-o", "in.csv", "in.csv"});
  EXPECT_EQ(onto_input.exit_status, 2);
  EXPECT_NE(onto_input.err.find("in.csv is an input file"), std::string::npos) << onto_input.err;
  EXPECT_EQ(read_file(dir.path() / "in.csv"), kTracksCsv);
  fs::create_directory(dir.path() / "folder");
  EXPECT_EQ(run({"-o", "folder", "in.csv"}).exit_status, 1);
  const auto nowhere = run({"-o", "no/such/dir/t.tsv", "in.csv"});
  EXPECT_EQ(nowhere.exit_status, 1);
  EXPECT_EQ(nowhere.err.find("comma-separated"), std::string::npos);  // refused before reading
  EXPECT_FALSE(temporaries_left());
}

TEST_F(MsdisfOutput, StreamsAndSameNamedInputsNeverLoseATable) {
  // /dev/stdin redirected from a file: the table goes to standard output, not into /dev.
  const std::string command = "cd " + dir.path().string() + " && " + MSDISF_PATH + " -q /dev/stdin < in.csv > out.tsv";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(pair_counts(dir.path() / "out.tsv"), "4 2");
  EXPECT_FALSE(fs::exists("/dev/stdin.msdisf.tsv"));
  // Two inputs of one name in two folders: refused before either is read.
  fs::create_directories(dir.path() / "a");
  fs::create_directories(dir.path() / "b");
  fs::copy_file(dir.path() / "in.csv", dir.path() / "a/in.csv");
  fs::copy_file(dir.path() / "in.csv", dir.path() / "b/in.csv");
  const auto clash = run({"--output-dir", "out", "a/in.csv", "b/in.csv"});
  EXPECT_EQ(clash.exit_status, 2);
  EXPECT_NE(clash.err.find("a/in.csv and b/in.csv would both write out/in.msdisf.tsv"), std::string::npos) << clash.err;
  EXPECT_FALSE(fs::exists(dir.path() / "out/in.msdisf.tsv"));
}

TEST_F(MsdisfOutput, ThroughALinkTheTargetIsReplacedAndTheLinkKept) {
  dir.write("real.tsv", "old\n");
  fs::create_symlink("real.tsv", dir.path() / "link.tsv");
  ASSERT_EQ(run({"-o", "link.tsv", "in.csv"}).exit_status, 0);
  EXPECT_TRUE(fs::is_symlink(dir.path() / "link.tsv"));
  EXPECT_EQ(pair_counts(dir.path() / "real.tsv"), "4 2");
}

TEST_F(MsdisfOutput, AFifoAndADeviceAreWrittenNotReplaced) {
  const fs::path fifo = dir.path() / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::string received;
  std::thread reader([&] { received = read_file(fifo); });
  EXPECT_EQ(run({"-o", "pipe", "in.csv"}).exit_status, 0);
  reader.join();
  EXPECT_TRUE(fs::is_fifo(fifo));
  EXPECT_NE(received.find("\n1\t4\t0.6875\t"), std::string::npos);
  const auto out = run({"-o", "-", "in.csv"});
  EXPECT_EQ(out.exit_status, 0);
  EXPECT_EQ(out.out.rfind("# msdisf ", 0), 0u);
  if (::geteuid() == 0) {
    const fs::path device = dir.path() / "null";  // a character device of this test's own
    ASSERT_EQ(::mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    EXPECT_EQ(run({"-o", "null", "in.csv"}).exit_status, 0);
    EXPECT_TRUE(fs::is_character_file(device));
  }
}

TEST_F(MsdisfOutput, AFullDiskLeavesThePreviousTable) {
  ASSERT_EQ(run({"-o", "t.tsv", "in.csv"}).exit_status, 0);
  const std::string previous = read_file(dir.path() / "t.tsv");
  const auto full = run({"--quantities", "job-table", "--scales", "1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16", "-o", "t.tsv", "in.csv"}, 2000);
  EXPECT_EQ(full.exit_status, 1);
  EXPECT_NE(full.err.find("cannot write t.tsv"), std::string::npos) << full.err;
  EXPECT_EQ(read_file(dir.path() / "t.tsv"), previous);
  EXPECT_FALSE(temporaries_left());
}

TEST_F(MsdisfOutput, ASignalRemovesTheTemporaryFile) {
  std::string long_run = "x y frame\n";
  for (int f = 0; f < 6000; ++f) long_run += std::to_string(std::sin(f * 0.1)) + " 0 " + std::to_string(f) + "\n";
  dir.write("long.txt", long_run);
  const std::string program = MSDISF_PATH;
  const std::string output = (dir.path() / "t.tsv").string(), input = (dir.path() / "long.txt").string();
  std::vector<const char*> argv = {program.c_str(), "-q",           "--method", "exact", "--threads", "1",
                                   "-o",            output.c_str(), input.c_str(), nullptr};
  pid_t child = 0;
  ASSERT_EQ(posix_spawn(&child, program.c_str(), nullptr, nullptr, const_cast<char**>(argv.data()), environ), 0);
  // Wait until the run is under way (its temporary file exists), then stop it.
  for (int i = 0; i < 200 && !temporaries_left(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(temporaries_left());
  ::kill(child, SIGTERM);
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM);
  EXPECT_FALSE(temporaries_left());
  EXPECT_FALSE(fs::exists(output));
}

}  // namespace
}  // namespace msdisf
