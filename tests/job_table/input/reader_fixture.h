// Runs a trajectory reader on text written to a scratch file, with a state
// of small capacity and the console captured.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <sstream>
#include <string>

#include "job_table/input/trajectory_readers.h"
#include "tests/support/temp_dir.h"

namespace msdisf::testing {

class ReaderTest : public ::testing::Test {
 protected:
  using Reader = bool (*)(AnalysisState&, const std::string&, Console&);

  /// Reads `contents` from a file; returns what the reader returned.
  bool read(Reader reader, const std::string& contents, int rank = 2, long capacity = 64) {
    path = dir.write("input.dat", contents).string();
    return read_path(reader, path, rank, capacity);
  }
  bool read_path(Reader reader, const std::string& file, int rank = 2, long capacity = 64) {
    state = std::make_unique<AnalysisState>(capacity);
    state->RANK = rank;
    out.str("");
    err.str("");
    Console console{out, err};
    return reader(*state, file, console);
  }
  void expect_entry(long i, int frame, double x, double y) const {
    EXPECT_EQ(state->T[i], frame) << "entry " << i;
    EXPECT_EQ(state->X[i], x) << "entry " << i;
    EXPECT_EQ(state->Y[i], y) << "entry " << i;
  }
  void expect_gap(long i, int frame) const {
    EXPECT_EQ(state->T[i], frame) << "entry " << i;
    EXPECT_TRUE(std::isnan(state->X[i]) && std::isnan(state->Y[i])) << "entry " << i << " is no gap marker";
  }

  TempDir dir;
  std::string path;
  std::unique_ptr<AnalysisState> state;
  std::ostringstream out;
  std::ostringstream err;
};

}  // namespace msdisf::testing
