#include "engine/lag_selection.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace msdisf::detail {

namespace {

[[noreturn]] void invalid(const std::string& what) { throw AnalysisError(AnalysisError::Kind::kInvalidOptions, what); }

// More rows than this could never be held (each takes hundreds of bytes).
constexpr long kMostRows = 1'000'000'000;
// Lags beyond this could overflow frame + lag.
constexpr long kLargestLag = long{1} << 62;

std::vector<long> one_to(long last) {
  if (last > kMostRows) {
    throw AnalysisError(AnalysisError::Kind::kTooLarge, "the analysis would need " + std::to_string(last) +
                                                            " lags; ask for fewer lags (log-spaced or a largest lag)");
  }
  std::vector<long> lags(static_cast<std::size_t>(std::max(last, 0L)));
  for (std::size_t i = 0; i < lags.size(); ++i) lags[i] = static_cast<long>(i) + 1;
  return lags;
}

}  // namespace

std::vector<long> log_spaced_lags(long count, long max_lag) {
  if (count >= max_lag) return one_to(max_lag);
  std::vector<long> lags{1};
  // Each step aims at an even log spacing of what is left, but moves at
  // least one and leaves room for the lags still to come, so the list ends
  // at max_lag with `count` distinct values.
  while (static_cast<long>(lags.size()) < count) {
    const long previous = lags.back();
    const long remaining = count - static_cast<long>(lags.size());
    const double step = (std::log(static_cast<double>(max_lag)) - std::log(static_cast<double>(previous))) /
                        static_cast<double>(remaining);
    long next = std::lround(std::exp(std::log(static_cast<double>(previous)) + step));
    next = std::clamp(next, previous + 1, max_lag - remaining + 1);
    lags.push_back(next);
  }
  return lags;
}

bool fits_grid(const LagRequest& request, std::int64_t step) {
  if (request.max_lag > 0 && request.max_lag < step) return false;
  return std::all_of(request.lags.begin(), request.lags.end(), [step](long lag) { return lag % step == 0; });
}

LagRequest lags_on_grid(const LagRequest& request, std::int64_t step) {
  LagRequest on_grid = request;
  on_grid.max_lag = request.max_lag / step;
  for (long& lag : on_grid.lags) lag /= step;
  return on_grid;
}

std::vector<long> select_lags(const LagRequest& request, long longest_span) {
  switch (request.kind) {
    case LagRequest::Kind::kAll:
      return one_to(longest_span);
    case LagRequest::Kind::kUpTo:
      if (request.max_lag < 1) invalid("the largest lag must be at least 1, not " + std::to_string(request.max_lag));
      return one_to(std::min(request.max_lag, longest_span));  // no lag past the span has a pair
    case LagRequest::Kind::kList: {
      std::vector<long> lags = request.lags;
      for (const long lag : lags) {
        if (lag < 1 || lag > kLargestLag)
          invalid("lags must be at least 1 and at most 2^62, not " + std::to_string(lag));
      }
      std::sort(lags.begin(), lags.end());
      lags.erase(std::unique(lags.begin(), lags.end()), lags.end());
      return lags;
    }
    case LagRequest::Kind::kLogSpaced: {
      if (request.count < 1)
        invalid("the number of log-spaced lags must be at least 1, not " + std::to_string(request.count));
      if (request.max_lag < 0) invalid("the largest lag must be at least 1, not " + std::to_string(request.max_lag));
      const long max_lag = std::min(request.max_lag > 0 ? request.max_lag : longest_span, kLargestLag);
      if (request.count > kMostRows) one_to(request.count);  // refuses the size
      return log_spaced_lags(request.count, max_lag);
    }
  }
  return {};
}

}  // namespace msdisf::detail
