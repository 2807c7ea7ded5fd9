// Drift subtraction and unwrapping in a periodic box, in one, two and three
// dimensions: a drifting walk loses its drift and keeps its diffusion; a
// wrapped copy of a walk gives the table of the walk itself; unusable boxes
// and positions are refused naming the record.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "engine/analysis.h"
#include "engine/drift.h"
#include "engine/unwrap.h"
#include "tests/engine/records.h"

namespace msdisf {
namespace {

using testing::Records;

std::vector<double>* axis(Records& r, int a) { return a == 0 ? &r.x : a == 1 ? &r.y : &r.z; }

// Brownian walks with D per frame and a drift of velocity[a] per frame;
// particles start at different frames, so frames hold different particles.
Records drifting_walks(int dims, int particles, long frames, double diffusion, const double* velocity, unsigned seed) {
  std::mt19937_64 random(seed);
  std::normal_distribution<double> step(0.0, std::sqrt(2.0 * diffusion));
  Records r;
  for (int p = 0; p < particles; ++p) {
    double at[3] = {3.0 * p, -2.0 * p, 0.5 * p};
    for (long f = p % 7; f < frames; ++f) {
      for (int a = 0; a < dims; ++a) {
        axis(r, a)->push_back(at[a] + velocity[a] * static_cast<double>(f));
        at[a] += step(random);
      }
      r.frame.push_back(f);
      r.particle.push_back(p);
    }
  }
  return r;
}

void take(Records& r, std::vector<std::vector<double>> positions) {
  for (std::size_t a = 0; a < positions.size(); ++a) *axis(r, static_cast<int>(a)) = std::move(positions[a]);
}

AnalysisOptions per_axis_msd(std::vector<long> lags) {
  AnalysisOptions options;
  options.lags = LagRequest::list(std::move(lags));
  options.quantities = {.msd = true, .mqd = false, .ngp = false, .skewness = false, .md = false, .mcd = false,
                        .scattering = false, .msd_axes = true, .mean_axes = true};
  options.method = Method::kExact;
  return options;
}

TEST(Drift, SubtractedFromDriftingWalksLeavesTheirDiffusion) {
  const double velocity[3] = {0.8, -0.5, 0.3};
  const double diffusion = 0.5;
  const int particles = 400;
  for (const int dims : {1, 2, 3}) {
    Records r = drifting_walks(dims, particles, 200, diffusion, velocity, 11u + static_cast<unsigned>(dims));
    const Drift drift = ensemble_drift(r.data());
    ASSERT_EQ(drift.axis.size(), static_cast<std::size_t>(dims));
    // The drift at the last frame is the velocity's to within the walks' spread.
    for (int a = 0; a < dims; ++a) {
      EXPECT_NEAR(drift.axis[a].back(), velocity[a] * 199.0, 5.0 * std::sqrt(2.0 * diffusion * 199.0 / particles))
          << dims << "D, axis " << a;
    }
    take(r, without_drift(r.data(), drift));
    const AnalysisResult result = analyse(r.data(), per_axis_msd({1, 10, 50}));
    for (std::size_t row = 0; row < result.rows(); ++row) {
      const double lag = static_cast<double>(result.lag[row]);
      // The ensemble mean of the particles' own steps is taken out with the drift.
      EXPECT_NEAR(result.msd[row], 2.0 * dims * diffusion * lag * (1.0 - 1.0 / particles),
                  0.05 * 2.0 * dims * diffusion * lag)
          << dims << "D, lag " << lag;
      for (int a = 0; a < dims; ++a) {
        EXPECT_NEAR(result.mean_axis[a][row], 0.0, 0.1 * std::sqrt(2.0 * diffusion * lag)) << dims << "D, lag " << lag;
      }
    }
  }
}

TEST(Drift, HeldAcrossStepsWithoutParticlesAndRefusedForOneParticle) {
  // Two particles moving by +1 along x per frame; frame 2 is missing for both.
  Records r;
  for (const std::int64_t p : {0, 1}) {
    for (const std::int64_t f : {0, 1, 3, 4}) {
      r.x.push_back(static_cast<double>(f) + 10.0 * p);
      r.y.push_back(static_cast<double>(p));
      r.frame.push_back(f);
      r.particle.push_back(p);
    }
  }
  const Drift drift = ensemble_drift(r.data());
  EXPECT_EQ(drift.frame, (std::vector<std::int64_t>{0, 1, 3, 4}));
  // The step from 1 to 3 is a step between consecutive frames of the data.
  EXPECT_EQ(drift.axis[0], (std::vector<double>{0.0, 1.0, 3.0, 4.0}));
  EXPECT_EQ(drift.steps_without_particles, 0);
  r.x[2] = r.x[6] = NAN;  // frame 3 has no position: 1 -> 3 and 3 -> 4 have no particle
  const Drift gapped = ensemble_drift(r.data());
  EXPECT_EQ(gapped.axis[0], (std::vector<double>{0.0, 1.0, 1.0, 1.0}));
  EXPECT_EQ(gapped.steps_without_particles, 2);
  EXPECT_EQ(gapped.notes.size(), 1u);
  r.particle.assign(r.x.size(), 5);
  r.frame = {0, 1, 3, 4, 5, 6, 7, 8};
  try {
    ensemble_drift(r.data());
    ADD_FAILURE() << "one particle's drift was subtracted";
  } catch (const AnalysisError& error) {
    EXPECT_EQ(error.kind, AnalysisError::Kind::kInvalidOptions);
  }
}

TEST(Unwrap, WrappedWalksGiveTheTableOfTheWalks) {
  const double velocity[3] = {0.0, 0.0, 0.0};
  const double box[3] = {7.0, 9.0, 5.0};
  for (const int dims : {1, 2, 3}) {
    const Records walks = drifting_walks(dims, 30, 300, 0.02, velocity, 5u + static_cast<unsigned>(dims));
    Records wrapped = walks;
    for (int a = 0; a < dims; ++a) {
      for (double& v : *axis(wrapped, a)) v -= box[a] * std::floor(v / box[a]);
    }
    const Unwrapped unwrapped = unwrap(wrapped.data(), std::span<const double>(box, static_cast<std::size_t>(dims)));
    EXPECT_EQ(unwrapped.long_steps, 0);
    take(wrapped, unwrapped.axis);
    const AnalysisResult a = analyse(walks.data(), per_axis_msd({1, 20, 200}));
    const AnalysisResult b = analyse(wrapped.data(), per_axis_msd({1, 20, 200}));
    EXPECT_EQ(a.pairs, b.pairs);
    for (std::size_t row = 0; row < a.rows(); ++row) {
      EXPECT_NEAR(b.msd[row], a.msd[row], 1e-9 * a.msd[row]) << dims << "D, lag " << a.lag[row];
      for (int d = 0; d < dims; ++d) EXPECT_NEAR(b.mean_axis[d][row], a.mean_axis[d][row], 1e-9) << dims << "D";
    }
    // The walks themselves spread over more than a box: refused, naming a record.
    try {
      unwrap(walks.data(), std::span<const double>(box, static_cast<std::size_t>(dims)));
      ADD_FAILURE() << dims << "D: unwrapped walks were unwrapped again";
    } catch (const AnalysisError& error) {
      EXPECT_EQ(error.kind, AnalysisError::Kind::kInvalidInput);
      ASSERT_GE(error.record, 0);
      EXPECT_NE(std::string(error.what()).find("frame " + std::to_string(walks.frame[error.record])),
                std::string::npos)
          << error.what();
    }
  }
}

TEST(Unwrap, CountsLongStepsAndRefusesBoxesThatDoNotFit) {
  // One particle in a box of 10 stepping +3 along x: each step is longer than a quarter box.
  Records r;
  for (std::int64_t f = 0; f < 5; ++f) {
    r.x.push_back(std::fmod(3.0 * static_cast<double>(f), 10.0));
    r.y.push_back(1.0);
    r.frame.push_back(f);
  }
  const double box[] = {10.0, 10.0, 10.0};
  const Unwrapped u = unwrap(r.data(), std::span<const double>(box, 2));
  EXPECT_EQ(u.axis[0], (std::vector<double>{0.0, 3.0, 6.0, 9.0, 12.0}));
  EXPECT_EQ(u.steps, 4);
  EXPECT_EQ(u.long_steps, 4);
  EXPECT_EQ(u.notes.size(), 1u);
  const double negative[] = {10.0, -1.0};
  for (const std::span<const double> wrong : {std::span<const double>(box, 3), std::span<const double>(negative, 2)}) {
    EXPECT_THROW(unwrap(r.data(), wrong), AnalysisError);
  }
}

}  // namespace
}  // namespace msdisf
