#include "job_table/numeric/norm_statistics.h"

#include <cmath>
#include <cstddef>

namespace msdisf {

double mean(const std::vector<double>& values) {
  double sum = 0.0;
  for (const double v : values) sum += v;
  return sum / static_cast<double>(values.size());
}

double variance(const std::vector<double>& values, double mean_value) {
  double sum = 0.0;
  for (const double v : values) sum += (v - mean_value) * (v - mean_value);
  return sum / static_cast<double>(values.size());
}

double calculate_autocorrelation_time(const std::vector<double>& values) {
  double sum = 0.0;
  for (const double v : values) {
    if (!(v > 0.0)) break;
    sum += v;
  }
  return sum;
}

std::vector<double> autocorrelation_2D(const std::vector<std::pair<double, double>>& points, int max_lag,
                                       std::ostream& out) {
  // Constructing with a negative size throws before anything is written.
  std::vector<double> result(static_cast<std::size_t>(max_lag), 0.0);
  const int n = static_cast<int>(points.size());
  out << "N (Anzahl der Punkte): " << n << std::endl;
  out << "Trajektorie (X, Y):" << std::endl;
  for (const auto& [x, y] : points) out << "(" << x << ", " << y << ")" << std::endl;
  out << "Berechne Mittelwert und Varianz..." << std::endl;

  std::vector<double> norms(points.size());
  for (std::size_t j = 0; j < points.size(); ++j) {
    norms[j] = std::sqrt(points[j].first * points[j].first + points[j].second * points[j].second);
  }
  double sum = 0.0;
  for (const double r : norms) {
    if (!std::isnan(r)) sum += r;
  }
  const double mean_norm = sum / n;
  out << "Mittelwert der Normen: " << mean_norm << std::endl;
  double squares = 0.0;
  for (const double r : norms) {
    if (!std::isnan(r)) squares += (r - mean_norm) * (r - mean_norm);
  }
  const double variance_norm = squares / n;
  out << "Varianz der Normen: " << variance_norm << std::endl;
  out << "Berechne Autokorrelationsfunktion..." << std::endl;

  for (int k = 0; k < max_lag; ++k) {
    const int pairs = n - k;
    double products = 0.0;
    for (int j = 0; j < pairs; ++j) {
      const double a = norms[static_cast<std::size_t>(j)];
      const double b = norms[static_cast<std::size_t>(j + k)];
      if (std::isnan(a) || std::isnan(b)) continue;
      products += (a - mean_norm) * (b - mean_norm);
    }
    // The divisor counts all pairs, skipped ones included.
    result[static_cast<std::size_t>(k)] = products / (static_cast<double>(pairs) * variance_norm);
  }
  return result;
}

}  // namespace msdisf
