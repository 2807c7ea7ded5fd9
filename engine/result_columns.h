// The per-lag value columns of a result, named and in the order every table
// of it uses: msd, msd_x, msd_y, msd_z, mean_dx, mean_dy, mean_dz,
// msd_centered, alpha2, mqd, ngp, skewness, md, mcd (those computed), fs[q],
// then
// isf_x[q], isf_y[q], isf_z[q], isf_r[q] (cos parts; those of the axes
// present) and isf_x_im[q], isf_y_im[q], isf_z_im[q], isf_r_im[q] (sin
// parts) for each wave number q, then with standard errors
// msd_se, msd_x_se, msd_y_se, ngp_se, alpha2_se, isf_x_se[q], isf_y_se[q],
// isf_r_se[q], fs_se[q]. Lags, pair counts
// and se_groups are whole numbers and are not among them.
#pragma once

#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "engine/analysis.h"

namespace msdisf {

/// q with six significant digits, as column names write it ("0.186567").
std::string wave_label(double q);

/// Each column's name beside its values; `Result` is AnalysisResult or
/// const AnalysisResult, and the values point into it.
template <class Result>
auto result_columns(Result& r) {
  using Column = std::conditional_t<std::is_const_v<Result>, const std::vector<double>, std::vector<double>>;
  std::vector<std::pair<std::string, Column*>> columns;
  const Quantities& q = r.quantities;
  const std::tuple<const char*, Column*, bool> moments[] = {
      {"msd", &r.msd, q.msd},           {"mqd", &r.mqd, q.mqd}, {"ngp", &r.ngp, q.ngp},
      {"skewness", &r.skewness, q.skewness}, {"md", &r.md, q.md},   {"mcd", &r.mcd, q.mcd}};
  using Group = std::conditional_t<std::is_const_v<Result>, const std::vector<std::vector<double>>,
                                   std::vector<std::vector<double>>>;
  auto add_axes = [&](const char* const* names, Group& group) {
    for (std::size_t a = 0; a < group.size(); ++a) columns.emplace_back(names[a], &group[a]);
  };
  if (q.msd) columns.emplace_back("msd", &r.msd);
  static constexpr const char* kMsdAxes[] = {"msd_x", "msd_y", "msd_z"};
  static constexpr const char* kMeanAxes[] = {"mean_dx", "mean_dy", "mean_dz"};
  add_axes(kMsdAxes, r.msd_axis), add_axes(kMeanAxes, r.mean_axis);
  if (q.msd_centered) columns.emplace_back("msd_centered", &r.msd_centered);
  if (q.alpha2) columns.emplace_back("alpha2", &r.alpha2);
  for (const auto& [name, values, wanted] : moments) {
    if (wanted && values != &r.msd) columns.emplace_back(name, values);
  }
  auto add_group = [&](const char* name, Group& group) {
    for (std::size_t w = 0; w < group.size(); ++w) {
      columns.emplace_back(std::string(name) + "[" + wave_label(r.wave_numbers[w]) + "]", &group[w]);
    }
  };
  add_group("fs", r.fs);
  add_group("isf_x", r.cos_x), add_group("isf_y", r.cos_y), add_group("isf_z", r.cos_z), add_group("isf_r", r.cos_r);
  add_group("isf_x_im", r.sin_x), add_group("isf_y_im", r.sin_y), add_group("isf_z_im", r.sin_z);
  add_group("isf_r_im", r.sin_r);
  if (r.errors.empty()) return columns;
  if (!r.errors.msd.empty()) columns.emplace_back("msd_se", &r.errors.msd);
  for (std::size_t a = 0; a < r.errors.msd_axis.size(); ++a) {
    columns.emplace_back(std::string("msd_") + "xyz"[a] + "_se", &r.errors.msd_axis[a]);
  }
  if (!r.errors.ngp.empty()) columns.emplace_back("ngp_se", &r.errors.ngp);
  if (!r.errors.alpha2.empty()) columns.emplace_back("alpha2_se", &r.errors.alpha2);
  add_group("isf_x_se", r.errors.cos_x), add_group("isf_y_se", r.errors.cos_y), add_group("isf_r_se", r.errors.cos_r);
  add_group("fs_se", r.errors.fs);
  return columns;
}

}  // namespace msdisf
