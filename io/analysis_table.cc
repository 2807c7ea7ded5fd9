#include "io/analysis_table.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "engine/result_columns.h"

namespace msdisf {

namespace {

void append_double(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "nan";
    return;
  }
  char text[32];
  const auto [end, error] = std::to_chars(text, text + sizeof text, value);
  out.append(text, error == std::errc() ? static_cast<std::size_t>(end - text) : 0);
}

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
  std::vector<const std::vector<double>*> columns;
  for (const auto& [name, values] : result_columns(result)) columns.push_back(values);
  const StandardErrors& errors = result.errors;
  const bool per_particle = !result.particle.empty();
  for (std::size_t r = 0; r < result.rows(); ++r) {
    if (per_particle) {
      const std::int64_t id = result.particle[r];
      const bool named = id >= 0 && static_cast<std::size_t>(id) < format.particle_names.size();
      out += named ? format.particle_names[static_cast<std::size_t>(id)] : std::to_string(id);
      out += format.separator;
    }
    out += std::to_string(result.lag[r]);
    if (format.time_step > 0.0) {
      out += format.separator;
      append_double(out, static_cast<double>(result.lag[r]) * format.time_step);
    }
    out += format.separator;
    out += std::to_string(result.pairs[r]);
    for (const auto* column : columns) {
      out += format.separator;
      append_double(out, (*column)[r]);
    }
    if (!errors.empty()) {
      out += format.separator;
      out += std::to_string(errors.groups[r]);
    }
    out += '\n';
    if (out.size() > (1 << 20)) {
      if (!sink(out)) return false;
      out.clear();
    }
  }
  return sink(out);
}

}  // namespace msdisf
