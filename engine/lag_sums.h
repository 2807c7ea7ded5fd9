// Per-lag sums: the pooled sums of an analysis, or one particle's own.
#pragma once

#include <vector>

namespace msdisf::detail {

/// The six scattering groups, in the order of the result columns.
enum ScatteringGroup { kCosX = 0, kCosY, kCosR, kSinX, kSinY, kSinR, kGroups };

/// column[row] = column[row] + value, for a moment column that may be absent
/// (null: a sum nobody asked for).
inline void add_moment(double* column, long row, double value) {
  if (column != nullptr) column[row] = column[row] + value;
}

/// Columns of sums, `rows` entries each, held elsewhere. The scattering
/// columns of a direction (0: x, 1: y, 2: x + y) that is not wanted are
/// null: nothing is computed for it.
struct SumsView {
  int waves = 0;
  double* s1 = nullptr;
  double* s2 = nullptr;
  double* s3 = nullptr;
  double* s4 = nullptr;
  long* pairs = nullptr;
  std::vector<double*> scattering;  // [group * waves + wave]

  double* column(int group, int wave) const { return scattering[static_cast<std::size_t>(group * waves + wave)]; }
  /// Whether direction d (kCosX + d) has columns.
  bool wants(int direction) const { return waves > 0 && !scattering.empty() && column(kCosX + direction, 0) != nullptr; }
};

/// A particle's own sums, reused from particle to particle. Without
/// scattering columns, the view's scattering pointers are left empty for the
/// caller to aim at the pooled columns.
class SumsBuffer {
 public:
  SumsBuffer(long rows, int waves, bool with_scattering);
  const SumsView& view() const { return view_; }
  /// Zeroes rows [0, rows).
  void clear(long rows);

 private:
  long rows_;
  std::vector<double> moments_;
  std::vector<long> pairs_;
  std::vector<double> scattering_;
  SumsView view_;
};

/// into[r] = into[r] + from[r] for rows [0, rows), every column `from` has.
void pool_sums(const SumsView& from, const SumsView& into, long rows);

}  // namespace msdisf::detail
