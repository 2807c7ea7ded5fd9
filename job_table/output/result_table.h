// The result table: a tab-separated text file with one header line and one
// line of 96 values for every lag 1..N-1 (lag, msd, mqd, ngp, skewness, the
// 90 scattering columns isfx, isfy, isfr, isfx_im, isfy_im, isfr_im at the 15
// scales, and the pair counter). Every value is written as printf's "%.7f"
// writes it; the header labels the scales in the short default format.
#pragma once

#include <string>

#include "job_table/state/analysis_state.h"
#include "job_table/state/console.h"

namespace msdisf {

/// Writes the table for lags 1..state.N-1 to `path`, replacing what was
/// there only once the whole table is written: it goes to a temporary file
/// beside `path` that is renamed over it at the end. Returns false after
/// printing "Failed to open the file <path>" (the temporary file cannot be
/// created) or "Failed to write the file <path>" (writing, closing or
/// renaming failed); the previous table is then left as it was.
/// A `last_lag` of 0 or more writes lags 1..min(N-1, last_lag) only.
bool print_data(const AnalysisState& state, const std::string& path, Console& console, long last_lag = -1);

/// The same as print_data.
bool print_data_distinct_trajs(const AnalysisState& state, const std::string& path, Console& console);

/// Appends the header line, line end included.
void append_header(std::string& out);

/// Appends the data line of lag `lag` (1-based), line end included.
void append_row(std::string& out, const AnalysisState& state, long lag);

/// Appends `value` exactly as printf("%.7f") writes it.
void append_fixed7(std::string& out, double value);

}  // namespace msdisf
