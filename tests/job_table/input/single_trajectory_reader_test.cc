// Tests for the single-trajectory reader: the worked example, gap markers,
// ceilings of frame numbers, both layouts, the stop rules and warnings.
#include <gtest/gtest.h>

#include "tests/job_table/input/reader_fixture.h"

namespace msdisf {
namespace {

using SingleReader = testing::ReaderTest;

TEST_F(SingleReader, WorkedExampleFillsMissingFramesWithGapMarkers) {
  ASSERT_TRUE(read(read_simulation_data, "0.5 1.5 1\n0.6 1.4 2\n0.9 1.0 5\n"));
  EXPECT_EQ(out.str(), "so the file has 3 lines\n");
  EXPECT_EQ(err.str(), "");
  EXPECT_EQ(state->N, 5);
  expect_entry(0, 1, 0.5, 1.5);
  expect_entry(1, 2, 0.6, 1.4);
  expect_gap(2, 3);
  expect_gap(3, 4);
  expect_entry(4, 5, 0.9, 1.0);
  EXPECT_EQ(state->TRAJNUMS[0], -1.0);  // not this reader's business
}

TEST_F(SingleReader, FramesAreTheCeilingsOfTheTimeField) {
  ASSERT_TRUE(read(read_simulation_data, "0 0 1.0\n1 1 1.3\n2 2 -0.5\n"));
  EXPECT_EQ(state->T[0], 1);
  EXPECT_EQ(state->T[1], 2);
  EXPECT_EQ(state->N, 2);  // -0.5 is frame 0, which does not follow frame 2

  ASSERT_TRUE(read(read_simulation_data, "0 0 1\n1 1 2.0000001"));  // last line without a line end
  EXPECT_EQ(out.str(), "so the file has 2 lines\n");
  expect_gap(1, 2);
  expect_entry(2, 3, 1.0, 1.0);
  EXPECT_EQ(state->N, 3);

  ASSERT_TRUE(read(read_simulation_data, "0 0 -3\n1 1 -2\n"));
  EXPECT_EQ(state->T[0], -3);
  EXPECT_EQ(state->N, 2);
}

TEST_F(SingleReader, SimulationRanksReadTheTimeFirst) {
  for (const int rank : {4, 8}) {
    ASSERT_TRUE(read(read_simulation_data, "1 0.5 1.5\n2 0.25 -1\n", rank));
    expect_entry(0, 1, 0.5, 1.5);
    expect_entry(1, 2, 0.25, -1.0);
  }
  ASSERT_TRUE(read(read_simulation_data, "1 0.5 1.5\n2 0.25 -1\n", 9));  // any other rank: x y t
  EXPECT_EQ(state->T[0], 2);
}

TEST_F(SingleReader, EmptyAndHeaderOnlyFiles) {
  ASSERT_TRUE(read(read_simulation_data, ""));
  EXPECT_EQ(out.str(), "so the file has 0 lines\n");
  EXPECT_EQ(err.str(), "");
  EXPECT_EQ(state->N, 0);

  ASSERT_TRUE(read(read_simulation_data, "x y t\n1 2 3\n"));
  EXPECT_EQ(err.str(), "Warning: Only 0 lines read, expected 2 lines.\n");
  EXPECT_EQ(state->N, 0);
}

TEST_F(SingleReader, LinesWithoutRecordsAreWarnedAboutAndNotAnalysed) {
  ASSERT_TRUE(read(read_simulation_data, "1 1 1\n2 2 2\n3 3 3\n\n"));
  EXPECT_EQ(out.str(), "so the file has 4 lines\n");
  EXPECT_EQ(err.str(), "Warning: Only 3 lines read, expected 4 lines.\n");
  EXPECT_EQ(state->N, 3);  // the empty line's entry never reaches an estimator

  ASSERT_TRUE(read(read_simulation_data, "1 1 1\n2 2 2\n3 3 oops\n4 4 4\n"));
  EXPECT_EQ(err.str(), "Warning: Only 2 lines read, expected 4 lines.\n");
  EXPECT_EQ(state->N, 2);
}

TEST_F(SingleReader, MoreRecordsThanLinesStopsSilentlyAtTheLineCount) {
  ASSERT_TRUE(read(read_simulation_data, "1 1 1\n2 2 2 3 3 3\n"));
  EXPECT_EQ(err.str(), "");
  EXPECT_EQ(state->N, 2);
  EXPECT_EQ(state->T[2], 0);
}

TEST_F(SingleReader, SimulationLayoutAnalysesEveryRecordItStores) {
  // Two records on one line: the t x y layout has no stop at the line count,
  // so N must count the second record and the markers before it.
  ASSERT_TRUE(read(read_simulation_data, "1 0 -1 4 1 0.2\n", 4));
  EXPECT_EQ(out.str(), "so the file has 1 lines\n");
  EXPECT_EQ(err.str(), "");
  EXPECT_EQ(state->N, 4);
  expect_gap(1, 2);
  expect_gap(2, 3);
  expect_entry(3, 4, 1.0, 0.2);
}

TEST_F(SingleReader, FramesThatDoNotIncreaseEndTheReading) {
  ASSERT_TRUE(read(read_simulation_data, "1 1 1\n2 2 2\n3 3 2\n4 4 3\n"));
  EXPECT_EQ(err.str(), path + ": record 3: frame 2 does not follow frame 2; reading stops here\n" +
                           "Warning: Only 2 lines read, expected 4 lines.\n");
  EXPECT_EQ(state->N, 2);

  ASSERT_TRUE(read(read_simulation_data, "1 1 5\n2 2 4\n"));
  EXPECT_NE(err.str().find("record 2: frame 4 does not follow frame 5"), std::string::npos);
  EXPECT_EQ(state->N, 1);
}

TEST_F(SingleReader, FramesOutsideTheIntRangeOrPastTheCapacityEndTheReading) {
  ASSERT_TRUE(read(read_simulation_data, "1 1 1\n2 2 3e9\n"));
  EXPECT_EQ(err.str(), path + ": record 2: frame 3000000000 lies outside the frame range -2147483648 to " +
                           "2147483647; reading stops here\nWarning: Only 1 lines read, expected 2 lines.\n");
  EXPECT_EQ(state->N, 1);

  ASSERT_TRUE(read(read_simulation_data, "1 1 1\n2 2 2\n3 3 20\n", 2, 10));
  EXPECT_EQ(err.str(), path + ": record 3: its frame would need more than the 10 entries the arrays hold; " +
                           "reading stops here\nWarning: Only 2 lines read, expected 3 lines.\n");
  EXPECT_EQ(state->N, 2);
  EXPECT_EQ(state->T[2], 0);  // no marker was written for the record that did not fit

  ASSERT_TRUE(read(read_simulation_data, "1 1 1\n2 2 2\n3 3 10\n", 2, 10));  // exactly fills the capacity
  EXPECT_EQ(err.str(), "");
  EXPECT_EQ(state->N, 10);
  expect_entry(9, 10, 3.0, 3.0);
}

TEST_F(SingleReader, SimulationLayoutStopsAtTheReadLimit) {
  std::string text;
  const int records = READ_LIMIT + 5;
  text.reserve(static_cast<std::size_t>(records) * 10);
  for (int frame = 1; frame <= records; ++frame) text += std::to_string(frame) + " 0 0\n";
  ASSERT_TRUE(read(read_simulation_data, text, 5, READ_LIMIT + 100));
  EXPECT_EQ(err.str(), "Warning: Only 2500000 lines read, expected 2500005 lines.\n");
  EXPECT_EQ(state->N, READ_LIMIT);
  EXPECT_EQ(state->T[READ_LIMIT - 1], READ_LIMIT);
}

TEST_F(SingleReader, MissingFileChangesNothing) {
  EXPECT_FALSE(read_path(read_simulation_data, dir.path().string() + "/absent.dat"));
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(err.str(), "Error opening file: " + dir.path().string() + "/absent.dat\n");
  EXPECT_EQ(state->N, 64);

  EXPECT_FALSE(read_path(read_simulation_data, dir.path().string()));  // a directory is no input file
  EXPECT_EQ(err.str(), "Error opening file: " + dir.path().string() + "\n");
}

}  // namespace
}  // namespace msdisf
