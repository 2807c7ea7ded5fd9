#include "engine/sums.h"

#include <algorithm>
#include <bit>
#include <charconv>

#include "engine/error_sums.h"

namespace msdisf {

namespace {

[[noreturn]] void mismatch(const std::string& what) {
  throw AnalysisError(AnalysisError::Kind::kInvalidOptions, "the sums differ in " + what + "; they cannot be merged");
}

std::string names_of(const std::vector<std::string>& sources) {
  if (sources.empty()) return "(unnamed sums)";
  std::string text = sources.front();
  if (sources.size() > 1) text += " and " + std::to_string(sources.size() - 1) + " more";
  return text;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](double x, double y) {
           return std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y);
         });
}

void add(std::vector<double>& into, const std::vector<double>& from) {
  for (std::size_t r = 0; r < into.size(); ++r) into[r] = into[r] + from[r];
}

void add_groups(std::vector<std::vector<double>>& into, const std::vector<std::vector<double>>& from) {
  for (std::size_t w = 0; w < into.size(); ++w) add(into[w], from[w]);
}

void check_same_kind(const LagSums& a, const LagSums& b) {
  if (a.estimator != b.estimator) mismatch("estimator");
  if (a.errors.empty() != b.errors.empty()) mismatch("standard errors (asked for in one and not the other)");
  if (a.errors.ss.size() != b.errors.ss.size()) mismatch("columns");
  if (a.dimensions != b.dimensions) {
    mismatch("dimensions (" + std::to_string(a.dimensions) + " against " + std::to_string(b.dimensions) + ")");
  }
  const Quantities& p = a.quantities;
  const Quantities& q = b.quantities;
  if (p.msd != q.msd || p.mqd != q.mqd || p.ngp != q.ngp || p.skewness != q.skewness || p.md != q.md ||
      p.mcd != q.mcd || p.scattering != q.scattering || p.msd_axes != q.msd_axes || p.mean_axes != q.mean_axes ||
      p.msd_centered != q.msd_centered || p.alpha2 != q.alpha2 || p.fs != q.fs) {
    mismatch("quantities");
  }
  if (!same_bits(a.wave_numbers, b.wave_numbers)) mismatch("wave numbers");
  if (!same_bits({a.dt, a.mpp}, {b.dt, b.mpp})) mismatch("the time per frame (dt) or the length per pixel (mpp)");
  if (a.lag != b.lag) {
    std::size_t r = 0;
    while (r < a.lag.size() && r < b.lag.size() && a.lag[r] == b.lag[r]) ++r;
    const auto at = [r](const std::vector<long>& lags) {
      return r < lags.size() ? "lag " + std::to_string(lags[r]) : std::string("no more lags");
    };
    mismatch("lags (row " + std::to_string(r + 1) + ": " + at(a.lag) + " against " + at(b.lag) +
             "; give the same --lags log:K:L, max:L or list to every shard)");
  }
  if (a.s1.size() != b.s1.size() || a.s2.size() != b.s2.size() || a.s3.size() != b.s3.size() ||
      a.s4.size() != b.s4.size() || a.cos_x.size() != b.cos_x.size() || a.axis_s1.size() != b.axis_s1.size() ||
      a.axis_s2.size() != b.axis_s2.size() || a.axis_s3.size() != b.axis_s3.size() ||
      a.axis_s4.size() != b.axis_s4.size() || a.cos_z.size() != b.cos_z.size() || a.r4.size() != b.r4.size() ||
      a.fs.size() != b.fs.size()) {
    mismatch("columns");
  }
}

}  // namespace

NeededSums needed_sums(const Quantities& q, int dimensions) {
  const bool drift = q.mean_axes || q.msd_centered;
  return {.s1 = q.md || q.skewness || drift,
          .s2 = q.msd || q.ngp || q.skewness || q.msd_axes || drift || q.alpha2,
          .s3 = q.mcd || q.skewness,
          .s4 = q.mqd || q.ngp || q.alpha2,
          .per_axis = dimensions != 2 || q.per_axis(),
          .r4 = q.alpha2};
}

std::uint64_t particle_key(std::string_view id) {
  std::int64_t whole = 0;
  const auto [end, error] = std::from_chars(id.data(), id.data() + id.size(), whole);
  const std::string digits = error == std::errc() && end == id.data() + id.size() ? std::to_string(whole) : "";
  const std::string_view text = digits.empty() ? id : std::string_view(digits);
  // FNV-1a over the bytes, then a 64-bit finaliser that spreads every bit.
  std::uint64_t h = 14695981039346656037ull;
  for (const char c : text) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdull;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ull;
  h ^= h >> 33;
  return h;
}

void merge_into(LagSums& into, const LagSums& other) {
  check_same_kind(into, other);
  std::vector<ParticleKey> all;
  all.reserve(into.particles.size() + other.particles.size());
  std::merge(into.particles.begin(), into.particles.end(), other.particles.begin(), other.particles.end(),
             std::back_inserter(all));
  const auto shared = std::adjacent_find(all.begin(), all.end(),
                                         [](const ParticleKey& a, const ParticleKey& b) { return a.key == b.key; });
  if (shared != all.end()) {
    throw AnalysisError(AnalysisError::Kind::kInvalidInput,
                        "particle '" + shared->id + "' is in both " + names_of(into.sources) + " and " +
                            names_of(other.sources) +
                            "; shards must hold whole particles, each once (a particle split between shards would "
                            "lose its pairs across them)");
  }
  for (std::size_t r = 0; r < into.pairs.size(); ++r) into.pairs[r] += other.pairs[r];
  add(into.s1, other.s1), add(into.s2, other.s2), add(into.s3, other.s3), add(into.s4, other.s4);
  add_groups(into.axis_s1, other.axis_s1), add_groups(into.axis_s2, other.axis_s2);
  add_groups(into.axis_s3, other.axis_s3), add_groups(into.axis_s4, other.axis_s4);
  add(into.r4, other.r4);
  add_groups(into.fs, other.fs);
  add_groups(into.cos_x, other.cos_x), add_groups(into.cos_y, other.cos_y), add_groups(into.cos_z, other.cos_z);
  add_groups(into.cos_r, other.cos_r), add_groups(into.sin_x, other.sin_x), add_groups(into.sin_y, other.sin_y);
  add_groups(into.sin_z, other.sin_z), add_groups(into.sin_r, other.sin_r);
  if (!into.errors.empty()) detail::add_error_sums(into.errors, other.errors);
  into.particles = std::move(all);
  into.sources.insert(into.sources.end(), other.sources.begin(), other.sources.end());
}

}  // namespace msdisf
