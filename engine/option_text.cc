#include "engine/option_text.h"

#include <array>
#include <charconv>
#include <utility>
#include <vector>

namespace msdisf {

const char* const kLagTexts = "all, max:L, log:K, log:K:L or a list such as 1,2,5,10";
const char* const kMethodTexts = "fast, ordered or exact";
const char* const kPairRuleTexts = "all-pairs, window or per-trajectory";
const char* const kQuantityTexts =
    "msd, mqd, ngp, skewness, md, mcd, isf, msd_axes, mean_axes, msd_centered, alpha2, fs and job-table";

namespace {

// A whole number >= 1 that is the whole text.
std::optional<long> positive(std::string_view text) {
  long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < 1) return std::nullopt;
  return value;
}

std::vector<std::string_view> split_commas(std::string_view text) {
  std::vector<std::string_view> items;
  while (true) {
    const std::size_t comma = text.find(',');
    items.push_back(text.substr(0, comma));
    if (comma == std::string_view::npos) return items;
    text.remove_prefix(comma + 1);
  }
}

}  // namespace

std::optional<LagRequest> lags_from_text(std::string_view text) {
  if (text == "all") return LagRequest::all();
  if (text.substr(0, 4) == "max:") {
    const auto l = positive(text.substr(4));
    return l ? std::optional(LagRequest::up_to(*l)) : std::nullopt;
  }
  if (text.substr(0, 4) == "log:") {
    const std::string_view rest = text.substr(4);
    const std::size_t colon = rest.find(':');
    const auto k = positive(rest.substr(0, colon));
    if (colon == std::string_view::npos) return k ? std::optional(LagRequest::log_spaced(*k)) : std::nullopt;
    const auto l = positive(rest.substr(colon + 1));
    return k && l ? std::optional(LagRequest::log_spaced(*k, *l)) : std::nullopt;
  }
  std::vector<long> lags;
  for (const std::string_view item : split_commas(text)) {
    const auto lag = positive(item);
    if (!lag) return std::nullopt;
    lags.push_back(*lag);
  }
  return LagRequest::list(std::move(lags));
}

std::optional<Method> method_from_text(std::string_view text) {
  if (text == "fast") return Method::kFast;
  if (text == "ordered") return Method::kOrdered;
  if (text == "exact") return Method::kExact;
  return std::nullopt;
}

std::optional<PairRule> pair_rule_from_text(std::string_view text) {
  if (text == "all-pairs") return PairRule::kAllPairs;
  if (text == "window") return PairRule::kWindow;
  if (text == "per-trajectory") return PairRule::kPerTrajectory;
  return std::nullopt;
}

std::optional<Quantities> quantities_from_text(std::string_view text) {
  const std::array<std::pair<std::string_view, bool Quantities::*>, 12> names = {
      {{"msd", &Quantities::msd},
       {"mqd", &Quantities::mqd},
       {"ngp", &Quantities::ngp},
       {"skewness", &Quantities::skewness},
       {"md", &Quantities::md},
       {"mcd", &Quantities::mcd},
       {"isf", &Quantities::scattering},
       {"msd_axes", &Quantities::msd_axes},
       {"mean_axes", &Quantities::mean_axes},
       {"msd_centered", &Quantities::msd_centered},
       {"alpha2", &Quantities::alpha2},
       {"fs", &Quantities::fs}}};
  Quantities wanted{false, false, false, false, false, false, false};
  for (const std::string_view item : split_commas(text)) {
    if (item == "job-table") {
      wanted.msd = wanted.mqd = wanted.ngp = wanted.skewness = wanted.md = wanted.mcd = wanted.scattering = true;
      continue;
    }
    bool known = false;
    for (const auto& [name, member] : names) {
      if (item == name) wanted.*member = known = true;
    }
    if (!known) return std::nullopt;
  }
  return wanted;
}

std::optional<std::string> options_problem(const AnalysisOptions& options) {
  const Quantities& q = options.quantities;
  if (options.errors && !q.msd && !q.ngp && !q.scattering && !q.msd_axes && !q.alpha2 && !q.fs) {
    return "standard errors need msd, msd_axes, alpha2, fs, ngp or isf among the quantities";
  }
  return std::nullopt;
}

Quantities default_quantities(bool wave_numbers_given) {
  Quantities q{true, false, false, false, false, false, false};
  q.msd_axes = q.mean_axes = q.msd_centered = q.alpha2 = true;
  q.fs = wave_numbers_given;
  return q;
}

}  // namespace msdisf
