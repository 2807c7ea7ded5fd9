// Prints how well the reported standard errors and fit intervals match the
// spread seen over many independent Brownian data sets, without and with
// localisation noise.
//
//   error_calibration [SETS]   (default 400 per shape and noise)
#include "tools/error_calibration.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  using namespace msdisf::calibration;
  const int sets = argc > 1 ? std::atoi(argv[1]) : 400;
  if (sets < 10) {
    std::fprintf(stderr, "error_calibration: give at least 10 data sets\n");
    return 2;
  }
  const Shape shapes[] = {{"one trajectory of 16384 frames", 1, 16384}, {"200 particles x 500 frames", 200, 500}};
  const double noises[] = {0.0, 0.1, 0.3};  // sigma per axis in units of sqrt(D dt)
  std::printf("%d data sets per shape and noise; reported error / observed spread (1 = calibrated)\n", sets);
  for (const double noise : noises) {
    int shape_index = 0;
    for (const Shape& shape : shapes) {
      const Outcome out = calibrate(shape, sets, 1000 + 100000 * shape_index++, noise);
      std::printf("\n%s, localisation noise %.1f sqrt(D dt)\n  lag", shape.name, noise);
      for (const char* c : kCheckedColumns) std::printf("  %8s", c);
      std::printf("\n");
      for (int l = 0; l < 3; ++l) {
        std::printf("  %3ld", kCheckedLags[l]);
        for (int c = 0; c < kColumns; ++c) std::printf("  %8.3f", out.ratio[l][c]);
        std::printf("\n");
      }
      std::printf("  95%% intervals (lags 1-%ld) hold the true D in %.1f %% of the sets, the true alpha in %.1f %%\n",
                  kFitLast, 100.0 * out.d_coverage, 100.0 * out.alpha_coverage);
    }
  }
  return 0;
}
