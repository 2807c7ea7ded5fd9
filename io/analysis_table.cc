#include "io/analysis_table.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <omp.h>
#include <algorithm>

#include "engine/result_columns.h"

namespace msdisf {

namespace {

// Appends the shortest text that reads back as `value` ("nan" for NaN).
void append_double(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "nan";
    return;
  }
  const std::size_t at = out.size();
  out.resize(at + 32);
  const auto [end, error] = std::to_chars(out.data() + at, out.data() + out.size(), value);
  out.resize(error == std::errc() ? static_cast<std::size_t>(end - out.data()) : at);
}

void append_whole(std::string& out, long value) {
  const std::size_t at = out.size();
  out.resize(at + 24);
  const auto [end, error] = std::to_chars(out.data() + at, out.data() + out.size(), value);
  out.resize(error == std::errc() ? static_cast<std::size_t>(end - out.data()) : at);
}

// What every row needs: the result, its value columns and the format.
struct Rows {
  const AnalysisResult& result;
  const AnalysisTableFormat& format;
  std::vector<const std::vector<double>*> columns;

  void append(std::string& out, std::size_t r) const {
    const char separator = format.separator;
    if (!result.particle.empty()) {
      const std::int64_t id = result.particle[r];
      const bool named = id >= 0 && static_cast<std::size_t>(id) < format.particle_names.size();
      if (named) {
        out += format.particle_names[static_cast<std::size_t>(id)];
      } else {
        append_whole(out, id);
      }
      out += separator;
    }
    append_whole(out, result.lag[r]);
    if (format.time_step > 0.0) {
      out += separator;
      append_double(out, static_cast<double>(result.lag[r]) * format.time_step);
    }
    out += separator;
    append_whole(out, result.pairs[r]);
    for (const auto* column : columns) {
      out += separator;
      append_double(out, (*column)[r]);
    }
    if (!result.errors.empty()) {
      out += separator;
      append_whole(out, result.errors.groups[r]);
    }
    out += '\n';
  }
};

// Rows are formatted in blocks of this many, several blocks at once on
// every thread, and written in row order.
constexpr std::size_t kBlockRows = 2048;

}  // namespace

std::vector<std::string> analysis_columns(const AnalysisResult& result, const AnalysisTableFormat& format) {
  std::vector<std::string> names;
  if (!result.particle.empty()) names.emplace_back("particle");
  names.emplace_back("lag");
  if (format.time_step > 0.0) names.emplace_back("time");
  names.emplace_back("pairs");
  for (const auto& [name, values] : result_columns(result)) names.push_back(name);
  if (!result.errors.empty()) names.emplace_back("se_groups");
  return names;
}

bool write_analysis_table(const AnalysisResult& result, const AnalysisTableFormat& format,
                          const std::function<bool(std::string_view)>& sink) {
  std::string out;
  if (!format.metadata.empty()) out += "# " + format.metadata + "\n";
  const std::vector<std::string> names = analysis_columns(result, format);
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += format.separator;
    out += names[i];
  }
  out += '\n';
  Rows rows{result, format, {}};
  for (const auto& [name, values] : result_columns(result)) rows.columns.push_back(values);
  if (!sink(out)) return false;
  const std::size_t blocks = (result.rows() + kBlockRows - 1) / kBlockRows;
  const std::size_t at_once = 4 * static_cast<std::size_t>(std::max(1, omp_get_max_threads()));
  std::vector<std::string> text(std::min(blocks, at_once));
  for (std::size_t first = 0; first < blocks; first += text.size()) {
    const long count = static_cast<long>(std::min(text.size(), blocks - first));
#pragma omp parallel for schedule(dynamic, 1) if (count > 1)
    for (long b = 0; b < count; ++b) {
      std::string& block = text[static_cast<std::size_t>(b)];
      block.clear();
      const std::size_t begin = (first + static_cast<std::size_t>(b)) * kBlockRows;
      const std::size_t end = std::min(result.rows(), begin + kBlockRows);
      for (std::size_t r = begin; r < end; ++r) rows.append(block, r);
    }
    for (long b = 0; b < count; ++b) {
      if (!sink(text[static_cast<std::size_t>(b)])) return false;
    }
  }
  return true;
}

}  // namespace msdisf
