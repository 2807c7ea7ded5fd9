#include "job_table/estimators/engine_adapter.h"

namespace msdisf {

void EntryRecords::add(const AnalysisState& state, long first, long last, std::int64_t id) {
  for (long i = first; i < last; ++i) {
    x.push_back(state.X[i]);
    y.push_back(state.Y[i]);
    frame.push_back(i);
    particle.push_back(id);
  }
}

AnalysisOptions engine_options(PairRule rule, long last_lag, const EstimatorOptions& options) {
  std::vector<long> lags(static_cast<std::size_t>(std::max(last_lag, 0L)));
  for (std::size_t i = 0; i < lags.size(); ++i) lags[i] = static_cast<long>(i) + 1;
  AnalysisOptions engine;
  engine.pairs = rule;
  engine.lags = LagRequest::list(std::move(lags));
  engine.method = options.method;
  engine.threads = options.threads;
  engine.progress = options.progress;
  return engine;
}

void store_moments(AnalysisState& state, const AnalysisResult& result, long row) {
  const auto r = static_cast<std::size_t>(row);
  state.msd[row] = result.msd[r];
  if (!state.ALL) return;
  state.md[row] = result.md[r];
  state.mcd[row] = result.mcd[r];
  state.mqd[row] = result.mqd[r];
  state.ngp[row] = result.ngp[r];
  state.skewness[row] = result.skewness[r];
}

void store_scattering(AnalysisState& state, const AnalysisResult& result, long row) {
  const auto r = static_cast<std::size_t>(row);
  for (int m = 0; m < kScaleCount; ++m) {
    const auto w = static_cast<std::size_t>(m);
    state.isfx[m][row] = result.cos_x[w][r];
    state.isfy[m][row] = result.cos_y[w][r];
    state.isfr[m][row] = result.cos_r[w][r];
    state.isfx_im[m][row] = result.sin_x[w][r];
    state.isfy_im[m][row] = result.sin_y[w][r];
    state.isfr_im[m][row] = result.sin_r[w][r];
  }
}

}  // namespace msdisf
