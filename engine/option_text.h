// Analysis options as the front ends write them, parsed in one place: the
// command line and the Python binding both read these texts.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "engine/analysis.h"

namespace msdisf {

/// What a lag request may be, for messages: "all, max:L, log:K, log:K:L or
/// a list such as 1,2,5,10".
extern const char* const kLagTexts;
/// "fast, ordered or exact" (kFast, kOrdered, kExact).
extern const char* const kMethodTexts;
/// "all-pairs, window or per-trajectory" (kAllPairs, kWindow, kPerTrajectory).
extern const char* const kPairRuleTexts;
/// The quantity names, for messages (isf: every scattering column).
extern const char* const kQuantityTexts;

/// "all"; "max:L" (L >= 1); "log:K" or "log:K:L" (K, L >= 1); or a
/// comma-separated list of whole numbers >= 1. nullopt for anything else.
std::optional<LagRequest> lags_from_text(std::string_view text);
std::optional<Method> method_from_text(std::string_view text);
std::optional<PairRule> pair_rule_from_text(std::string_view text);
/// A comma-separated list of quantity names (msd, mqd, ngp, skewness, md,
/// mcd, isf, msd_axes, mean_axes, msd_centered, alpha2, fs, and job-table for
/// the first seven), at least one; nullopt for an unknown name or an empty
/// list.
std::optional<Quantities> quantities_from_text(std::string_view text);

/// What makes a set of options unusable whatever the data, in one line, or
/// nullopt: standard errors without msd, msd_axes, alpha2, fs, ngp or isf
/// among the quantities.
std::optional<std::string> options_problem(const AnalysisOptions& options);

/// The columns the front ends give when none are named: msd, msd per axis,
/// mean displacement per axis, msd_centered and alpha2, and fs when the
/// caller gave wave numbers (fs at the default ones would cost many times
/// the rest: see docs/columns.md).
Quantities default_quantities(bool wave_numbers_given);

}  // namespace msdisf
