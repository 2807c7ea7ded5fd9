// The motion behind every shipped sample file, shared by the generator and by
// the tests that check results against the known answers.
#pragma once

namespace msdisf::sample {

/// Free diffusion in 2D: per frame, each coordinate moves by a normal deviate
/// of variance 2*D, so MSD(lag) = 4*D*lag and <cos(q dx)> = exp(-q^2 D lag).
struct Brownian {
  const char* path;  // below the data directory
  int seed;
  double diffusion;  // D, length^2 per frame
  double drift_x;    // constant velocity, length per frame
  double drift_y;
  double missing;     // probability that a frame is absent from the file
  double fractional;  // probability that a time stamp is written as frame - 0.25
};

/// Several numbered trajectories in one file (x y t trajnum).
struct Distinct {
  const char* path;
  int seed;
  double diffusion;
  int trajectories;
  int max_length;  // lengths are drawn from 1..max_length
  double missing;
};

/// A persistent (active) walker: speed v0 along a heading that diffuses with
/// rotational coefficient Dr, plus translational diffusion D. Its MSD is
/// 4*D*lag + 2*v0^2/Dr^2 * (Dr*lag - 1 + exp(-Dr*lag)).
struct Active {
  const char* path;
  int seed;
  double diffusion;
  double speed;
  double rotational_diffusion;
  int frames;
};

inline constexpr Distinct kRank0{"FreeQuorix/FreeQuorix_cropped_distinct.dat", 1001, 1.5, 40, 300, 0.03};
inline constexpr Distinct kRank1{"mdf2/MDF2_cropped_distinct.dat", 1002, 0.8, 60, 400, 0.02};
inline constexpr Brownian kRank2{"FreeQuorix/FreeQuorix_cropped_combined_filtered.dat", 1003, 2.0, 0.0, 0.0, 0.02, 0.1};
inline constexpr Brownian kRank3{"mdf2/MDF2_cropped_combined_filtered.dat", 1004, 0.5, 0.2, -0.1, 0.01, 0.1};
inline constexpr int kRank2Frames = 3000;
inline constexpr int kRank3Frames = 3000;

// Simulation output (t x y), no missing frames.
inline constexpr Brownian kRank4{"Simulation_data/Noise/combined/1.dat", 1005, 1.0, 0.0, 0.0, 0.0, 0.0};
inline constexpr Brownian kRank5{"Simulation_data/Noise/combined/2.dat", 1006, 0.25, 0.0, 0.0, 0.0, 0.0};
inline constexpr Active kRank6{"Simulation_data/Noise/combined/3.dat", 1007, 0.1, 0.5, 0.005, 10000};
inline constexpr Brownian kRank7{"Simulation_data/Noise/combined/4.dat", 1008, 4.0, 0.0, 0.0, 0.0, 0.0};
inline constexpr Brownian kRank8{"Simulation_data/Noise/combined/Data.dat", 1009, 1.0, 0.0, 0.0, 0.0, 0.0};
inline constexpr int kRank4Frames = 5000;
inline constexpr int kRank5Frames = 10000;
inline constexpr int kRank7Frames = 20000;
inline constexpr int kRank8Frames = 20000;

// Files shaped like users' own, for msdisf's examples.
/// A tracker's CSV export: header frame,particle,x,y,mass,size; rows sorted
/// by frame with the particles interleaved; positions in pixels.
struct Tracker {
  const char* path;
  int seed;
  double diffusion;  // pixels^2 per frame
  int particles;
  int frames;
  double missing;
};
/// A simulation dump with a "# t x y" comment and times in seconds, written as
/// a program that multiplies the step count by dt prints them (0.07 may read
/// 0.07000000000000001).
struct Seconds {
  const char* path;
  int seed;
  double diffusion;  // length^2 per second
  double dt;
  int frames;
};
inline constexpr Tracker kTracker{"tracker/tracks.csv", 1010, 0.5, 40, 250, 0.02};
inline constexpr Seconds kSeconds{"simulation/run_seconds.txt", 1011, 0.2, 0.01, 20000};

}  // namespace msdisf::sample
