#include "engine/msd_fit.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <vector>

namespace msdisf {

namespace {

struct Points {
  std::vector<long> lag;
  std::vector<double> t, log_t, y, w;  // w = 1 / se^2
};

using Vector3 = std::array<double, 3>;
using Matrix3 = std::array<Vector3, 3>;

// The model's parameters: amplitude a = 2 d D, exponent alpha, offset c.
struct Parameters {
  double a = 0.0, alpha = 1.0, c = 0.0;
};

// Summed squared overlap of windows of i and j frames over their offsets.
double overlap(double i, double j) {
  if (i > j) std::swap(i, j);
  return (j - i + 1.0) * i * i + (i - 1.0) * i * (2.0 * i - 1.0) / 3.0;
}

double chi_square(const Points& p, const Parameters& m) {
  double sum = 0.0;
  for (std::size_t k = 0; k < p.t.size(); ++k) {
    const double r = p.y[k] - m.a * std::exp(m.alpha * p.log_t[k]) - m.c;
    sum += p.w[k] * r * r;
  }
  return sum;
}

// The weighted straight line y = a u + c through u = t^alpha: the best
// amplitude and offset for one exponent.
Parameters best_for_exponent(const Points& p, double alpha) {
  double sw = 0.0, swu = 0.0, swy = 0.0;
  for (std::size_t k = 0; k < p.t.size(); ++k) {
    sw += p.w[k];
    swu += p.w[k] * std::exp(alpha * p.log_t[k]);
    swy += p.w[k] * p.y[k];
  }
  const double mean_u = swu / sw, mean_y = swy / sw;
  double suu = 0.0, suy = 0.0;
  for (std::size_t k = 0; k < p.t.size(); ++k) {
    const double u = std::exp(alpha * p.log_t[k]) - mean_u;
    suu += p.w[k] * u * u;
    suy += p.w[k] * u * (p.y[k] - mean_y);
  }
  Parameters m;
  m.alpha = alpha;
  m.a = suu > 0.0 ? suy / suu : 0.0;
  m.c = mean_y - m.a * mean_u;
  return m;
}

// d model / d (a, alpha, c) at point k.
Vector3 gradient(const Points& p, const Parameters& m, std::size_t k) {
  const double u = std::exp(m.alpha * p.log_t[k]);
  return {u, m.a * u * p.log_t[k], 1.0};
}

// The inverse of a symmetric 3x3 matrix; false when it is singular.
bool invert(const Matrix3& m, Matrix3& inverse) {
  const double c00 = m[1][1] * m[2][2] - m[1][2] * m[2][1];
  const double c01 = m[1][2] * m[2][0] - m[1][0] * m[2][2];
  const double c02 = m[1][0] * m[2][1] - m[1][1] * m[2][0];
  const double determinant = m[0][0] * c00 + m[0][1] * c01 + m[0][2] * c02;
  if (!(std::fabs(determinant) > 0.0) || !std::isfinite(determinant)) return false;
  inverse[0] = {c00, m[0][2] * m[2][1] - m[0][1] * m[2][2], m[0][1] * m[1][2] - m[0][2] * m[1][1]};
  inverse[1] = {c01, m[0][0] * m[2][2] - m[0][2] * m[2][0], m[0][2] * m[1][0] - m[0][0] * m[1][2]};
  inverse[2] = {c02, m[0][1] * m[2][0] - m[0][0] * m[2][1], m[0][0] * m[1][1] - m[0][1] * m[1][0]};
  for (auto& row : inverse) {
    for (double& v : row) v /= determinant;
  }
  return true;
}

// J'WJ at the parameters.
Matrix3 normal_matrix(const Points& p, const Parameters& m) {
  Matrix3 b{};
  for (std::size_t k = 0; k < p.t.size(); ++k) {
    const Vector3 g = gradient(p, m, k);
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) b[i][j] += p.w[k] * g[i] * g[j];
    }
  }
  return b;
}

// Gauss-Newton steps from the best exponent on the grid, each halved until
// it lowers chi^2, to the least-squares parameters.
Parameters refined(const Points& p, Parameters m) {
  double current = chi_square(p, m);
  for (int iteration = 0; iteration < 50; ++iteration) {
    Vector3 rhs{};
    for (std::size_t k = 0; k < p.t.size(); ++k) {
      const Vector3 g = gradient(p, m, k);
      const double r = p.y[k] - m.a * std::exp(m.alpha * p.log_t[k]) - m.c;
      for (int i = 0; i < 3; ++i) rhs[i] += p.w[k] * g[i] * r;
    }
    Matrix3 inverse;
    if (!invert(normal_matrix(p, m), inverse)) break;
    Vector3 step{};
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) step[i] += inverse[i][j] * rhs[j];
    }
    bool lowered = false;
    for (double scale = 1.0; scale > 1e-6 && !lowered; scale /= 2.0) {
      const Parameters next{m.a + scale * step[0], m.alpha + scale * step[1], m.c + scale * step[2]};
      const double value = chi_square(p, next);
      if (value < current) {
        lowered = true;
        m = next;
        current = value;
      }
    }
    if (!lowered) break;
  }
  return m;
}

// (J'WJ)^-1 J'W C W J (J'WJ)^-1 with C the modelled covariance of the points.
Matrix3 covariance(const Points& p, const Parameters& m) {
  const std::size_t n = p.t.size();
  Matrix3 inverse{};
  for (auto& row : inverse) row.fill(NAN);
  if (!invert(normal_matrix(p, m), inverse)) return inverse;
  std::vector<Vector3> g(n);
  std::vector<double> self(n);
  for (std::size_t k = 0; k < n; ++k) {
    g[k] = gradient(p, m, k);
    self[k] = overlap(static_cast<double>(p.lag[k]), static_cast<double>(p.lag[k]));
  }
  Matrix3 middle{};
  for (std::size_t j = 0; j < n; ++j) {
    for (std::size_t k = 0; k < n; ++k) {
      // W C W = corr / (se_j se_k) = corr sqrt(w_j w_k).
      const double r = overlap(static_cast<double>(p.lag[j]), static_cast<double>(p.lag[k])) /
                       std::sqrt(self[j] * self[k]) * std::sqrt(p.w[j] * p.w[k]);
      for (int a = 0; a < 3; ++a) {
        for (int b = 0; b < 3; ++b) middle[a][b] += g[j][a] * r * g[k][b];
      }
    }
  }
  Matrix3 out{};
  for (int a = 0; a < 3; ++a) {
    for (int b = 0; b < 3; ++b) {
      for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) out[a][b] += inverse[a][i] * middle[i][j] * inverse[j][b];
      }
    }
  }
  return out;
}

std::string number(double value) {
  if (!std::isfinite(value)) return "nan";
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  return text;
}

std::string json_number(double value) {
  if (!std::isfinite(value)) return "null";
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

}  // namespace

MsdFit fit_msd(std::span<const long> lag, std::span<const double> t, std::span<const double> msd,
               std::span<const double> msd_se, long first_lag, long last_lag, int dimensions) {
  if (first_lag < 1 || last_lag < first_lag) {
    throw FitError("the lag range must be A:B with 1 <= A <= B, not " + std::to_string(first_lag) + ":" +
                   std::to_string(last_lag));
  }
  if (dimensions < 1 || dimensions > 3) throw FitError("the dimensions must be 1, 2 or 3, not " + std::to_string(dimensions));
  Points p;
  for (std::size_t k = 0; k < lag.size(); ++k) {
    if (lag[k] < first_lag || lag[k] > last_lag) continue;
    if (!std::isfinite(msd[k]) || !(t[k] > 0.0) || !std::isfinite(t[k]) || !(msd_se[k] > 0.0) ||
        !std::isfinite(msd_se[k])) {
      continue;
    }
    p.lag.push_back(lag[k]);
    p.t.push_back(t[k]);
    p.log_t.push_back(std::log(t[k]));
    p.y.push_back(msd[k]);
    p.w.push_back(1.0 / (msd_se[k] * msd_se[k]));
  }
  const std::string lags = "lags " + std::to_string(first_lag) + " to " + std::to_string(last_lag);
  if (p.t.size() < 3) {
    throw FitError(lags + " hold " + std::to_string(p.t.size()) +
                   " row(s) with an msd and a positive msd_se; fitting D, alpha and the offset needs three");
  }
  const long steps = std::lround((kLargestExponent - kSmallestExponent) / kExponentStep);
  Parameters best = best_for_exponent(p, kSmallestExponent);
  long best_step = 0;
  double lowest = chi_square(p, best);
  for (long s = 1; s <= steps; ++s) {
    const Parameters m = best_for_exponent(p, kSmallestExponent + static_cast<double>(s) * kExponentStep);
    const double value = chi_square(p, m);
    if (value < lowest) {
      lowest = value;
      best = m;
      best_step = s;
    }
  }
  if (best_step == 0 || best_step == steps) {
    throw FitError(lags + ": the best alpha lies at the edge of the exponents searched (" + number(kSmallestExponent) +
                   " to " + number(kLargestExponent) + "); the msd there is not 2 d D t^alpha + offset");
  }
  best = refined(p, best);
  const Matrix3 c = covariance(p, best);
  MsdFit fit;
  fit.first_lag = first_lag;
  fit.last_lag = last_lag;
  fit.points = static_cast<long>(p.t.size());
  fit.dimensions = dimensions;
  const double scale = 2.0 * dimensions;
  fit.diffusion = best.a / scale;
  fit.diffusion_se = std::sqrt(std::max(0.0, c[0][0])) / scale;
  fit.exponent = best.alpha;
  fit.exponent_se = std::sqrt(std::max(0.0, c[1][1]));
  fit.offset = best.c;
  fit.offset_se = std::sqrt(std::max(0.0, c[2][2]));
  return fit;
}

std::string describe_fit(const MsdFit& fit, const std::string& time_unit) {
  const std::string d = std::to_string(fit.dimensions);
  std::string out = "msd fit over lags " + std::to_string(fit.first_lag) + " to " + std::to_string(fit.last_lag) +
                    " (" + std::to_string(fit.points) + " points, weights 1/msd_se^2; msd = " +
                    std::to_string(2 * fit.dimensions) + " D t^alpha + offset, " + d + " dimension" +
                    (fit.dimensions > 1 ? "s" : "") + "):\n";
  out += "  D      = " + number(fit.diffusion) + " +/- " + number(fit.diffusion_se) + "   (length^2 per " + time_unit +
         "^alpha)\n";
  out += "  alpha  = " + number(fit.exponent) + " +/- " + number(fit.exponent_se) + "\n";
  out += "  offset = " + number(fit.offset) + " +/- " + number(fit.offset_se) + "   (" + d +
         " x 2 sigma^2 for localisation noise sigma per axis)\n";
  out += "Errors are one standard error; nearby lags count as correlated as for a diffusing particle.\n";
  return out;
}

std::string fit_json(const MsdFit& fit, const std::string& time_unit) {
  return "{\"first_lag\": " + std::to_string(fit.first_lag) + ", \"last_lag\": " + std::to_string(fit.last_lag) +
         ", \"points\": " + std::to_string(fit.points) + ", \"dimensions\": " + std::to_string(fit.dimensions) +
         ", \"D\": " + json_number(fit.diffusion) + ", \"D_se\": " + json_number(fit.diffusion_se) +
         ", \"offset\": " + json_number(fit.offset) + ", \"offset_se\": " + json_number(fit.offset_se) +
         ", \"alpha\": " + json_number(fit.exponent) + ", \"alpha_se\": " + json_number(fit.exponent_se) +
         ", \"time_unit\": \"" + time_unit + "\"}\n";
}

}  // namespace msdisf
