// Prints the engine's per-lag moments of an "x y frame particle" file as
// hexadecimal floats, so the Python tests can compare the module's results
// with the engine's bit for bit.
#include <cstdio>
#include <fstream>

#include "engine/analysis.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  std::ifstream in(argv[1]);
  std::vector<double> x, y;
  std::vector<std::int64_t> frame, particle;
  double a = 0, b = 0, f = 0, p = 0;
  while (in >> a >> b >> f >> p) {
    x.push_back(a);
    y.push_back(b);
    frame.push_back(static_cast<std::int64_t>(f));
    particle.push_back(static_cast<std::int64_t>(p));
  }
  const msdisf::AnalysisResult r = msdisf::analyse({x, y, frame, particle});
  for (std::size_t i = 0; i < r.rows(); ++i) {
    std::printf("%ld %ld %a %a %a %a %a %a\n", r.lag[i], r.pairs[i], r.msd[i], r.mqd[i], r.ngp[i], r.skewness[i],
                r.md[i], r.mcd[i]);
  }
}
