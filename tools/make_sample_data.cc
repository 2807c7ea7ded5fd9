// Writes the shipped sample inputs below a data directory:
//   make_sample_data <data-dir>
// Every file comes from a fixed seed, so running it again reproduces the
// committed files byte for byte.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <numbers>
#include <string>
#include <vector>

#include "job_table/numeric/random_mars.h"
#include "tools/sample_data_parameters.h"

namespace {

using namespace msdisf;
using namespace msdisf::sample;

struct File {
  std::FILE* handle;
  explicit File(const std::filesystem::path& path) : handle(nullptr) {
    std::filesystem::create_directories(path.parent_path());
    handle = std::fopen(path.string().c_str(), "w");
    if (handle == nullptr) {
      std::fprintf(stderr, "make_sample_data: cannot create %s\n", path.string().c_str());
      std::exit(1);
    }
  }
  ~File() { std::fclose(handle); }
};

enum class Layout { kXYT, kTXY };

void write_single(const std::filesystem::path& root, const Brownian& p, int frames, Layout layout) {
  RanMars random(p.seed);
  File file(root / p.path);
  const double step = std::sqrt(2.0 * p.diffusion);
  double x = 200.0 + 100.0 * random.uniform();
  double y = 200.0 + 100.0 * random.uniform();
  for (int frame = 1; frame <= frames; ++frame) {
    if (frame > 1) {
      x += p.drift_x + step * random.gaussian();
      y += p.drift_y + step * random.gaussian();
    }
    const bool missing = frame > 1 && random.uniform() < p.missing;
    const bool fractional = random.uniform() < p.fractional;
    if (missing) continue;
    if (layout == Layout::kTXY) {
      std::fprintf(file.handle, "%d %.5f %.5f\n", frame, x, y);
    } else if (fractional) {
      std::fprintf(file.handle, "%.5f %.5f %.2f\n", x, y, frame - 0.25);
    } else {
      std::fprintf(file.handle, "%.5f %.5f %d\n", x, y, frame);
    }
  }
}

void write_distinct(const std::filesystem::path& root, const Distinct& p) {
  RanMars random(p.seed);
  File file(root / p.path);
  const double step = std::sqrt(2.0 * p.diffusion);
  for (int trajectory = 0; trajectory < p.trajectories; ++trajectory) {
    const int length = 1 + static_cast<int>(random.uniform() * p.max_length);
    const int first_frame = 1 + static_cast<int>(random.uniform() * 500.0);
    double x = 512.0 * random.uniform();
    double y = 512.0 * random.uniform();
    for (int i = 0; i < length; ++i) {
      if (i > 0) {
        x += step * random.gaussian();
        y += step * random.gaussian();
      }
      // The first and last frames are always present, so lengths stay as drawn.
      if (i > 0 && i + 1 < length && random.uniform() < p.missing) continue;
      std::fprintf(file.handle, "%.5f %.5f %d %d\n", x, y, first_frame + i, trajectory);
    }
  }
}

void write_active(const std::filesystem::path& root, const Active& p) {
  RanMars random(p.seed);
  File file(root / p.path);
  const double step = std::sqrt(2.0 * p.diffusion);
  const double turn = std::sqrt(2.0 * p.rotational_diffusion);
  double x = 0.0;
  double y = 0.0;
  double heading = 2.0 * std::numbers::pi * random.uniform();
  for (int frame = 1; frame <= p.frames; ++frame) {
    if (frame > 1) {
      x += p.speed * std::cos(heading) + step * random.gaussian();
      y += p.speed * std::sin(heading) + step * random.gaussian();
      heading += turn * random.gaussian();
    }
    std::fprintf(file.handle, "%d %.5f %.5f\n", frame, x, y);
  }
}

}  // namespace

void write_tracker(const std::filesystem::path& root, const Tracker& p) {
  RanMars random(p.seed);
  File file(root / p.path);
  std::fprintf(file.handle, "frame,particle,x,y,mass,size\n");
  const double step = std::sqrt(2.0 * p.diffusion);
  std::vector<double> x(static_cast<std::size_t>(p.particles)), y(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    x[i] = 512.0 * random.uniform();
    y[i] = 512.0 * random.uniform();
  }
  for (int frame = 0; frame < p.frames; ++frame) {
    for (std::size_t i = 0; i < x.size(); ++i) {
      if (frame > 0) {
        x[i] += step * random.gaussian();
        y[i] += step * random.gaussian();
      }
      const double mass = 800.0 + 100.0 * random.uniform();
      if (random.uniform() < p.missing) continue;
      std::fprintf(file.handle, "%d,%zu,%.4f,%.4f,%.1f,%.3f\n", frame, i, x[i], y[i], mass, 2.5);
    }
  }
}

void write_seconds(const std::filesystem::path& root, const Seconds& p) {
  RanMars random(p.seed);
  File file(root / p.path);
  std::fprintf(file.handle, "# t x y\n");
  const double step = std::sqrt(2.0 * p.diffusion * p.dt);
  double x = 0.0, y = 0.0;
  for (int k = 0; k < p.frames; ++k) {
    if (k > 0) {
      x += step * random.gaussian();
      y += step * random.gaussian();
    }
    std::fprintf(file.handle, "%.17g %.6f %.6f\n", k * p.dt, x, y);
  }
}

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "Usage: %s <data-dir>\n", argv[0]);
    return 1;
  }
  const std::filesystem::path root = argv[1];
  write_distinct(root, kRank0);
  write_distinct(root, kRank1);
  write_single(root, kRank2, kRank2Frames, Layout::kXYT);
  write_single(root, kRank3, kRank3Frames, Layout::kXYT);
  write_single(root, kRank4, kRank4Frames, Layout::kTXY);
  write_single(root, kRank5, kRank5Frames, Layout::kTXY);
  write_active(root, kRank6);
  write_single(root, kRank7, kRank7Frames, Layout::kTXY);
  write_single(root, kRank8, kRank8Frames, Layout::kTXY);
  write_tracker(root, kTracker);
  write_seconds(root, kSeconds);
  return 0;
}
