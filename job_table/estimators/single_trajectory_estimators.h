// Time-averaged estimators for one trajectory held in entries 0..N-1.
//
// For every lag L = 1..N-1 they average over the pairs (a, a + L) inside the
// origin range, skipping pairs that touch a gap marker, and store lag L at
// index L - 1 of every per-lag array. Lags count entries, not time units.
// Results go into msd, md, mcd, mqd, ngp, skewness and the six scattering
// matrices at indices 0..N-2; N is left unchanged. A lag without a valid
// pair gets NaN moments and zero scattering values. N of 1 or less computes
// nothing but the start and finish lines.
//
// The engine computes every lag (entries are records whose frame is their
// index); both methods give the same console output and bit-identical
// moments and counts. The results enter the state in segments that end at
// the progress lags, so progress lines and intermediate tables come in lag
// order and an intermediate table holds the lags before its progress lag.
// With options.max_lag, only lags 1..max_lag are computed and written.
#pragma once

#include <string>

#include "job_table/estimators/estimator_options.h"
#include "job_table/state/analysis_state.h"
#include "job_table/state/console.h"

namespace msdisf {

/// Origins a = 1, 2, ... (entry 0 is never an origin, so lag N-1 has no pair).
/// Stores each lag's valid-pair count in msdcounter. Prints progress at lags
/// 10 and 100, and at lags 10000, 100000 and 1000000 also rewrites the whole
/// result table at `result_path` (all N-1 rows, finished or not).
void calculate_isf_and_msd(AnalysisState& state, const std::string& result_path, Console& console,
                           const EstimatorOptions& options = {});

/// Origins a = 0, 1, ...: every lag up to N-1 has at least one candidate pair.
/// Leaves msdcounter alone. Progress at lags 10, 100 and 1000; tables at lags
/// 10000, 100000, 200000 and 225000.
void calculate_isf_and_msd_fixedlag(AnalysisState& state, const std::string& result_path, Console& console,
                                    const EstimatorOptions& options = {});

}  // namespace msdisf
