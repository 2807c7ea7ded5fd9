// The pooled estimator for files that hold several trajectories one after
// another (entries of one trajectory are contiguous and share a TRAJNUMS
// value). Pairs are formed only inside a trajectory; the sums of all
// trajectories are pooled per lag and divided by the pooled pair counts.
#pragma once

#include <string>

#include "job_table/estimators/estimator_options.h"
#include "job_table/state/analysis_state.h"
#include "job_table/state/console.h"

namespace msdisf {

/// Scans entries 0..N-1 and processes each trajectory b..i when it reaches its
/// last entry i (the next entry has another number, or is -1.0). Origins run
/// from b while the end stays strictly before i, so a trajectory's last entry
/// never ends a pair and its largest lag gets none. Afterwards N is the largest
/// number of lags of any trajectory, so the table holds lags 1..N-1.
///
/// Degenerate inputs: an entry of -1.0 ends the scan with a "trajectory over"
/// line; one-entry trajectories contribute nothing; a lag whose pooled count is
/// zero gets NaN moments and keeps its scattering values. The per-lag sums
/// msd, md, mcd, mqd and msdcounter must start at zero, as a new state has them.
/// With options.max_lag = L, lags 1..L+1 are computed and N ends at most L+1,
/// so the table holds lags 1..L.
/// `result_path` is accepted for symmetry with the other estimators and unused.
void calculate_isf_and_msd_distincttrajs(AnalysisState& state, const std::string& result_path, Console& console,
                                         const EstimatorOptions& options = {});

}  // namespace msdisf
