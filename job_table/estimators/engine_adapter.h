// Running the engine on entries of the analysis state: each entry is a
// record whose frame is its index, so pairs of entries L apart are pairs of
// lag L, and gap markers (NaN) are missing positions.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/analysis.h"
#include "job_table/estimators/estimator_options.h"
#include "job_table/state/analysis_state.h"

namespace msdisf {

/// Entries first..last-1 of the state, as records of particle `particle`.
struct EntryRecords {
  std::vector<double> x, y;
  std::vector<std::int64_t> frame, particle;
  void add(const AnalysisState& state, long first, long last, std::int64_t id);
  TrajectoryData data() const { return {x, y, frame, particle}; }
};

/// Engine options for lags 1..last_lag (each with a row) under `rule`.
AnalysisOptions engine_options(PairRule rule, long last_lag, const EstimatorOptions& options);

/// Stores row r (lag r + 1) of `result` at index r of the state's moment
/// arrays (md, msd, mcd, mqd, ngp, skewness), exactly as computed.
void store_moments(AnalysisState& state, const AnalysisResult& result, long row);

/// Stores row r's scattering means at index r of the six matrices.
void store_scattering(AnalysisState& state, const AnalysisResult& result, long row);

}  // namespace msdisf
