// The table msdisf writes: one header line of plain column names, one line
// per lag. Lags and pair counts are integers; every other value is written
// in the shortest form that reads back as the same double, NaN as nan.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/analysis.h"

namespace msdisf {

struct AnalysisTableFormat {
  char separator = '\t';
  /// A first line "# ..." (program, input, options); empty for none.
  std::string metadata;
  /// Time per frame: above 0, a time column (lag * dt) follows the lag.
  double time_step = 0.0;
  /// Per-particle results: the text of each particle id (indexed by the id);
  /// empty when the ids are the numbers themselves.
  std::vector<std::string> particle_names;
  /// Threads that format rows (0: every processor).
  int threads = 0;
};

/// The column names, in order: [particle,] lag, [time,] pairs, then the result's value
/// columns as result_columns names them, then se_groups with standard errors.
std::vector<std::string> analysis_columns(const AnalysisResult& result, const AnalysisTableFormat& format);

/// Writes the table through `sink` in row order, in pieces of a few
/// megabytes formatted on `format.threads` threads; `sink` returns false when
/// writing failed, and so does this then (leaving the rest unwritten).
bool write_analysis_table(const AnalysisResult& result, const AnalysisTableFormat& format,
                          const std::function<bool(std::string_view)>& sink);

}  // namespace msdisf
