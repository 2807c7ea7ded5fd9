// msdisf --subtract-drift, --drift-output and --box end to end: the drift
// written beside the table, unwrapped positions, and one line with the
// right status for a box or positions that cannot be used.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tuple>

#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace msdisf {
namespace {

using testing::read_file;
using testing::run_program;

// Three particles carried by +2 along x per frame; a and b also step
// +0.5 and -0.5 into odd frames and back, so the ensemble steps by exactly 2.
std::string carried_particles() {
  std::string text = "frame,particle,x,y\n";
  for (int f = 0; f < 6; ++f) {
    const double wiggle = f % 2 ? 0.5 : 0.0;
    for (const auto& [name, shift] : {std::pair{"a", wiggle}, {"b", -wiggle}, {"c", 0.0}}) {
      text += std::to_string(f) + "," + name + "," + std::to_string(2.0 * f + shift) + ",1\n";
    }
  }
  return text;
}

TEST(PositionOptions, DriftIsWrittenAndSubtracted) {
  testing::TempDir dir;
  dir.write("carried.csv", carried_particles());
  const auto run = run_program(MSDISF_PATH,
                               {"-q", "--subtract-drift", "--drift-output", "drift.csv", "--quantities", "msd",
                                "--lags", "1", "--no-metadata", "-o", "t.tsv", "carried.csv"},
                               dir.path());
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(read_file(dir.path() / "drift.csv"), "frame,dx,dy\n0,0,0\n1,2,0\n2,4,0\n3,6,0\n4,8,0\n5,10,0\n");
  // Without the drift only the wiggles move: (0.25 + 0.25 + 0) / 3 per pair.
  const std::string table = read_file(dir.path() / "t.tsv");
  const double msd = std::stod(table.substr(table.rfind('\t') + 1));
  EXPECT_NEAR(msd, 1.0 / 6.0, 1e-12) << table;
}

TEST(PositionOptions, UnwrapsInABoxAndRefusesWhatCannotBeUnwrapped) {
  testing::TempDir dir;
  // One particle crossing a box of 10 along x by +3 a frame, wrapped and not.
  std::string wrapped = "frame,x,y\n", plain = "frame,x,y\n";
  for (int f = 0; f < 8; ++f) {
    wrapped += std::to_string(f) + "," + std::to_string(std::fmod(3.0 * f + 0.5, 10.0)) + ",1\n";
    plain += std::to_string(f) + "," + std::to_string(3.0 * f + 0.5) + ",1\n";
  }
  dir.write("wrapped.csv", wrapped);
  dir.write("plain.csv", plain);
  const auto unwrapped = run_program(MSDISF_PATH, {"--box", "10,10", "--quantities", "msd", "--lags", "2",
                                                   "--no-metadata", "-o", "-", "wrapped.csv"}, dir.path());
  ASSERT_EQ(unwrapped.exit_status, 0) << unwrapped.err;
  EXPECT_NE(unwrapped.out.find("\t36"), std::string::npos) << unwrapped.out;  // (2 x 3)^2
  EXPECT_NE(unwrapped.err.find("7 of 7 steps"), std::string::npos) << unwrapped.err;
  for (const auto& [args, status, says] : {
           std::tuple{std::vector<std::string>{"--box", "10,10", "-o", "-", "plain.csv"}, 3,
                      "plain.csv: line 9: frame 7: x = 21.5 lies more than the box length 10"},
           {{"--box", "10", "-o", "-", "wrapped.csv"}, 2, "wrapped.csv: --box: the box needs one length per axis (2)"},
           {{"--box", "10,0", "wrapped.csv"}, 2, "--box takes one positive length per axis"},
           {{"--subtract-drift", "-o", "-", "wrapped.csv"}, 2, "--subtract-drift: the records are of one particle"},
           {{"--subtract-drift", "--drift-output", "d.csv", "wrapped.csv", "plain.csv"}, 2, "give one input"}}) {
    const auto run = run_program(MSDISF_PATH, args, dir.path());
    EXPECT_EQ(run.exit_status, status) << run.err;
    EXPECT_NE(run.err.find(says), std::string::npos) << run.err;
  }
}

}  // namespace
}  // namespace msdisf
