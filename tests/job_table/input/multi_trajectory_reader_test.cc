// Tests for the multi-trajectory reader: the worked example, one gap marker
// per discontinuity, trajectory numbers, the entry count and the warnings.
#include <gtest/gtest.h>

#include "tests/job_table/input/reader_fixture.h"

namespace msdisf {
namespace {

using MultiReader = testing::ReaderTest;

TEST_F(MultiReader, WorkedExamplePutsOneGapMarkerPerDiscontinuity) {
  ASSERT_TRUE(read(read_experimental_data, "1.0 2.0 1 0\n1.5 2.5 2 0\n3.0 4.0 6 0\n7.0 8.0 1 1\n7.5 8.5 2 1\n"));
  EXPECT_EQ(out.str(), "so the file has 4 lines\ntest\n");
  EXPECT_EQ(err.str(), "");
  expect_entry(0, 1, 1.0, 2.0);
  expect_entry(1, 2, 1.5, 2.5);
  expect_gap(2, 3);
  expect_entry(3, 6, 3.0, 4.0);
  expect_gap(4, 7);
  expect_entry(5, 1, 7.0, 8.0);
  expect_entry(6, 2, 7.5, 8.5);
  const double numbers[] = {0, 0, 0, 0, 0, 1, 1};
  for (long i = 0; i < 7; ++i) EXPECT_EQ(state->TRAJNUMS[i], numbers[i]) << i;
  EXPECT_EQ(state->TRAJNUMS[7], -1.0);
  EXPECT_EQ(state->N, 7);  // every stored entry, the last trajectory's included
}

TEST_F(MultiReader, TrajectoriesThatFollowOnNeedNoMarker) {
  ASSERT_TRUE(read(read_experimental_data, "0 0 1 0\n0 0 2 0\n0 0 3 0\n0 0 4 1\n0 0 5 1\n"));
  EXPECT_EQ(state->N, 5);
  for (long i = 0; i < 5; ++i) EXPECT_FALSE(std::isnan(state->X[i]));
  EXPECT_EQ(state->TRAJNUMS[3], 1.0);
}

TEST_F(MultiReader, RestartsRepeatsAndStepsBackCostOneMarkerEach) {
  ASSERT_TRUE(read(read_experimental_data, "0 0 8 0\n0 0 9 0\n5 5 1 1\n6 6 1 1\n7 7 0.2 1\n"));
  expect_gap(2, 10);
  EXPECT_EQ(state->TRAJNUMS[2], 0.0);  // the marker closes the trajectory before it
  expect_entry(3, 1, 5.0, 5.0);
  expect_gap(4, 2);
  expect_entry(5, 1, 6.0, 6.0);
  expect_gap(6, 2);
  expect_entry(7, 1, 7.0, 7.0);
  EXPECT_EQ(state->N, 8);
}

TEST_F(MultiReader, TrajectoryNumbersAreStoredAsGiven) {
  ASSERT_TRUE(read(read_experimental_data, "0 0 1 2.5\n0 0 2 2.5\n0 0 3 -7e3\n"));
  EXPECT_EQ(state->TRAJNUMS[1], 2.5);
  EXPECT_EQ(state->TRAJNUMS[2], -7000.0);  // frame 3 follows on: no marker, only a new number
}

TEST_F(MultiReader, EmptyOneLineAndHeaderFiles) {
  ASSERT_TRUE(read(read_experimental_data, ""));
  EXPECT_EQ(out.str(), "so the file has -1 lines\ntest\n");
  EXPECT_EQ(err.str(), "");
  EXPECT_EQ(state->N, 0);

  ASSERT_TRUE(read(read_experimental_data, "1 2 3 4\n"));
  EXPECT_EQ(out.str(), "so the file has 0 lines\ntest\n");
  EXPECT_EQ(state->N, 1);
  expect_entry(0, 3, 1.0, 2.0);

  ASSERT_TRUE(read(read_experimental_data, "x y t n\n1 2 3 4\n1 2 4 4\n"));
  EXPECT_EQ(err.str(), "0 states read for all tajectories\n");
  EXPECT_EQ(state->N, 0);
  EXPECT_EQ(state->TRAJNUMS[0], -1.0);
}

TEST_F(MultiReader, FramesOutsideTheIntRangeOrPastTheCapacityEndTheReading) {
  ASSERT_TRUE(read(read_experimental_data, "0 0 1 0\n0 0 -1e12 0\n"));
  EXPECT_NE(err.str().find(path + ": record 2: frame -1000000000000 lies outside the frame range"), std::string::npos);
  EXPECT_EQ(state->N, 1);

  ASSERT_TRUE(read(read_experimental_data, "0 0 1 0\n0 0 2 0\n0 0 5 0\n", 0, 3));
  EXPECT_EQ(err.str(), path + ": record 3: its frame would need more than the 3 entries the arrays hold; " +
                           "reading stops here\n");
  EXPECT_EQ(state->N, 2);
  EXPECT_EQ(state->TRAJNUMS[2], -1.0);

  ASSERT_TRUE(read(read_experimental_data, "0 0 2147483647 0\n0 0 5 0\n"));  // a marker after the largest frame
  EXPECT_EQ(state->N, 3);
  EXPECT_TRUE(std::isnan(state->X[1]));
}

TEST_F(MultiReader, MissingFileChangesNothing) {
  EXPECT_FALSE(read_path(read_experimental_data, dir.path().string() + "/absent.dat"));
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(err.str(), "Error opening file: " + dir.path().string() + "/absent.dat\n");
  EXPECT_EQ(state->N, 64);
  EXPECT_EQ(state->TRAJNUMS[0], -1.0);
}

}  // namespace
}  // namespace msdisf
