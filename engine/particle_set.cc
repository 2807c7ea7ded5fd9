#include "engine/particle_set.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>

#include "engine/huge_pages.h"

namespace msdisf::detail {

namespace {

using Kind = AnalysisError::Kind;

std::int64_t particle_of(const TrajectoryData& data, std::size_t i) {
  return data.particle.empty() ? 0 : data.particle[i];
}

bool infinite_at(const TrajectoryData& data, std::size_t i) {
  return std::isinf(data.x[i]) || (!data.y.empty() && std::isinf(data.y[i])) || (!data.z.empty() && std::isinf(data.z[i]));
}

void check_records(const TrajectoryData& data) {
  const std::size_t n = data.frame.size();
  const bool one_dimension = data.y.empty() && n > 0;
  if (data.x.size() != n || (data.y.size() != n && !one_dimension) || (!data.particle.empty() && data.particle.size() != n) ||
      (!data.z.empty() && data.z.size() != n)) {
    throw AnalysisError(Kind::kInvalidInput, "x, y, z, frame and particle must have one entry per record (y and z "
                                             "may be empty in one dimension, z in two); got " +
                                                 std::to_string(data.x.size()) + ", " + std::to_string(data.y.size()) +
                                                 ", " + std::to_string(data.z.size()) + ", " + std::to_string(n) +
                                                 " and " + std::to_string(data.particle.size()));
  }
  if (one_dimension && !data.z.empty()) {
    throw AnalysisError(Kind::kInvalidInput, "z is given without y: three dimensions need x, y and z");
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (infinite_at(data, i)) {
      throw AnalysisError(Kind::kInvalidInput,
                          "record " + std::to_string(i) + ": the position is infinite (use NaN for a missing one)",
                          static_cast<long>(i));
    }
    if (data.frame[i] > kFrameLimit || data.frame[i] < -kFrameLimit) {
      throw AnalysisError(
          Kind::kInvalidInput,
          "record " + std::to_string(i) + ": frame " + std::to_string(data.frame[i]) + " lies outside -2^62 to 2^62",
          static_cast<long>(i));
    }
  }
}

[[noreturn]] void repeated_frame(const TrajectoryData& data, std::size_t first, std::size_t second) {
  throw AnalysisError(Kind::kInvalidInput,
                      "records " + std::to_string(first) + " and " + std::to_string(second) + " both hold particle " +
                          std::to_string(particle_of(data, first)) + " at frame " + std::to_string(data.frame[first]),
                      static_cast<long>(first), static_cast<long>(second));
}

// True when the rows come sorted by (particle, frame); throws on a repeat.
bool already_sorted(const TrajectoryData& data) {
  for (std::size_t i = 1; i < data.frame.size(); ++i) {
    const std::int64_t p0 = particle_of(data, i - 1), p1 = particle_of(data, i);
    if (p0 > p1 || (p0 == p1 && data.frame[i - 1] > data.frame[i])) return false;
    if (p0 == p1 && data.frame[i - 1] == data.frame[i]) repeated_frame(data, i - 1, i);
  }
  return true;
}

bool before(const TrajectoryData& data, std::size_t a, std::size_t b) {
  const std::int64_t pa = particle_of(data, a), pb = particle_of(data, b);
  if (pa != pb) return pa < pb;
  if (data.frame[a] != data.frame[b]) return data.frame[a] < data.frame[b];
  return a < b;
}

// Row indices in (particle, frame, row) order. Trackers write rows sorted by
// frame with small particle ids interleaved: then a counting sort by id,
// which keeps the row order and so the frame order, does the work in O(n),
// and only particles whose frames it leaves unordered are sorted.
std::vector<std::size_t> sorted_order(const TrajectoryData& data) {
  const std::size_t n = data.frame.size();
  std::vector<std::size_t> order;
  assign_huge(order, n, std::size_t{0});
  const auto [low, high] = std::minmax_element(data.particle.begin(), data.particle.end());
  const bool small_ids = !data.particle.empty() &&
                         static_cast<double>(*high) - static_cast<double>(*low) < 4.0 * static_cast<double>(n) + 1024.0;
  if (!small_ids) {
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&data](std::size_t a, std::size_t b) { return before(data, a, b); });
    return order;
  }
  std::vector<std::size_t> start(static_cast<std::size_t>(*high - *low) + 2, 0);
  for (const std::int64_t id : data.particle) ++start[static_cast<std::size_t>(id - *low) + 1];
  for (std::size_t i = 1; i < start.size(); ++i) start[i] += start[i - 1];
  std::vector<std::size_t> next(start.begin(), start.end() - 1);
  for (std::size_t row = 0; row < n; ++row) order[next[static_cast<std::size_t>(data.particle[row] - *low)]++] = row;
  for (std::size_t p = 0; p + 1 < start.size(); ++p) {
    const auto first = order.begin() + static_cast<std::ptrdiff_t>(start[p]);
    const auto last = order.begin() + static_cast<std::ptrdiff_t>(start[p + 1]);
    auto by_frame = [&data](std::size_t a, std::size_t b) { return before(data, a, b); };
    if (!std::is_sorted(first, last, by_frame)) std::sort(first, last, by_frame);
  }
  return order;
}

}  // namespace

void ParticleSet::sort_into_own_arrays(const TrajectoryData& data) {
  const std::size_t n = data.frame.size();
  std::vector<std::size_t> order = sorted_order(data);
  for (std::size_t i = 1; i < n; ++i) {
    const std::size_t a = order[i - 1], b = order[i];
    if (particle_of(data, a) == particle_of(data, b) && data.frame[a] == data.frame[b]) repeated_frame(data, a, b);
  }
  assign_huge(own_x_, n, 0.0);
  assign_huge(own_y_, n, 0.0);
  if (!data.z.empty()) assign_huge(own_z_, n, 0.0);
  assign_huge(own_frame_, n, std::int64_t{0});
  long begin = 0;
  for (std::size_t i = 0; i < n; ++i) {
    own_x_[i] = data.x[order[i]];
    if (!data.y.empty()) own_y_[i] = data.y[order[i]];
    if (!data.z.empty()) own_z_[i] = data.z[order[i]];
    own_frame_[i] = data.frame[order[i]];
    if (i > 0 && particle_of(data, order[i]) != particle_of(data, order[i - 1])) {
      particles_.push_back({begin, static_cast<long>(i)});
      ids_.push_back(particle_of(data, order[i - 1]));
      begin = static_cast<long>(i);
    }
  }
  if (n > 0) {
    particles_.push_back({begin, static_cast<long>(n)});
    ids_.push_back(particle_of(data, order[n - 1]));
  }
  x_ = own_x_;
  y_ = own_y_;
  z_ = own_z_;
  frame_ = own_frame_;
}

ParticleSet::ParticleSet(const TrajectoryData& data, PairRule rule) : dimensions_(data.dimensions()) {
  check_records(data);
  const std::size_t n = data.frame.size();
  if (already_sorted(data)) {
    x_ = data.x;
    if (data.y.empty()) assign_huge(own_y_, n, 0.0);
    y_ = data.y.empty() ? std::span<const double>(own_y_) : data.y;
    z_ = data.z;
    frame_ = data.frame;
    long begin = 0;
    for (std::size_t i = 1; i <= n; ++i) {
      if (i == n || particle_of(data, i) != particle_of(data, i - 1)) {
        particles_.push_back({begin, static_cast<long>(i)});
        ids_.push_back(particle_of(data, i - 1));
        begin = static_cast<long>(i);
      }
    }
  } else {
    sort_into_own_arrays(data);
  }
  all_ids_ = ids_;
  std::vector<ParticleRange> kept;
  std::vector<std::int64_t> kept_ids;
  for (std::size_t k = 0; k < particles_.size(); ++k) {
    ParticleRange p = particles_[k];
    if (rule == PairRule::kWindow) ++p.begin;
    if (rule == PairRule::kPerTrajectory) --p.end;
    if (p.records() >= 2) kept.push_back(p), kept_ids.push_back(ids_[k]);
  }
  particles_ = std::move(kept);
  ids_ = std::move(kept_ids);
  std::int64_t step = 0;
  for (const ParticleRange& p : particles_) {
    for (long i = p.begin + 1; i < p.end && step != 1; ++i) {
      step = std::gcd(step, frame_[static_cast<std::size_t>(i)] - frame_[static_cast<std::size_t>(i - 1)]);
    }
  }
  grid_step_ = std::max<std::int64_t>(step, 1);
}

ParticleSet ParticleSet::on_axes(std::span<const double> x, std::span<const double> y) const {
  ParticleSet set;
  set.dimensions_ = dimensions_;
  set.x_ = x;
  set.y_ = y;
  set.frame_ = frame_;
  set.particles_ = particles_;
  set.ids_ = ids_;
  set.grid_step_ = grid_step_;
  set.stride_ = stride_;
  return set;
}

void ParticleSet::count_frames_on_grid() {
  const std::int64_t step = grid_step_;
  if (step <= 1 || stride_ == step) return;
  stride_ = step;
  if (own_frame_.data() != frame_.data()) own_frame_.assign(frame_.begin(), frame_.end());
  for (const ParticleRange& p : particles_) {
    const auto first = static_cast<std::size_t>(p.begin);
    const std::int64_t origin = own_frame_[first];
    for (auto i = first; i < static_cast<std::size_t>(p.end); ++i) {
      own_frame_[i] = origin / step + (own_frame_[i] - origin) / step;
    }
  }
  frame_ = own_frame_;
}

long ParticleSet::longest_span() const {
  long longest = 0;
  for (const ParticleRange& p : particles_) longest = std::max(longest, span(p));
  return longest;
}

}  // namespace msdisf::detail
