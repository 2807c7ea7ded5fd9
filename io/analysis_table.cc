#include "io/analysis_table.h"

#include <charconv>
#include <cmath>
#include <cstdio>

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

std::string wave_label(double q) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", q);
  return text;
}

}  // namespace

std::vector<std::string> analysis_columns(const AnalysisResult& result, const AnalysisTableFormat& format) {
  std::vector<std::string> names = {"lag"};
  if (format.time_step > 0.0) names.emplace_back("time");
  names.emplace_back("pairs");
  const Quantities& wanted_columns = result.quantities;
  const std::pair<const char*, bool> moments[] = {{"msd", wanted_columns.msd}, {"mqd", wanted_columns.mqd},
                                                  {"ngp", wanted_columns.ngp}, {"skewness", wanted_columns.skewness},
                                                  {"md", wanted_columns.md},   {"mcd", wanted_columns.mcd}};
  for (const auto& [name, wanted] : moments) {
    if (wanted) names.emplace_back(name);
  }
  for (const char* group : {"isf_x", "isf_y", "isf_r", "isf_x_im", "isf_y_im", "isf_r_im"}) {
    for (const double q : result.wave_numbers) names.push_back(std::string(group) + "[" + wave_label(q) + "]");
  }
  const StandardErrors& errors = result.errors;
  if (errors.empty()) return names;
  if (!errors.msd.empty()) names.emplace_back("msd_se");
  if (!errors.ngp.empty()) names.emplace_back("ngp_se");
  const std::pair<const char*, const std::vector<std::vector<double>>*> cosines[] = {
      {"isf_x_se", &errors.cos_x}, {"isf_y_se", &errors.cos_y}, {"isf_r_se", &errors.cos_r}};
  for (const auto& [group, columns] : cosines) {
    for (std::size_t w = 0; w < columns->size(); ++w) {
      names.push_back(std::string(group) + "[" + wave_label(result.wave_numbers[w]) + "]");
    }
  }
  names.emplace_back("se_groups");
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
  const std::vector<double>* moments[] = {&result.msd,      &result.mqd, &result.ngp,
                                          &result.skewness, &result.md,  &result.mcd};
  const std::vector<std::vector<double>>* groups[] = {&result.cos_x, &result.cos_y, &result.cos_r,
                                                      &result.sin_x, &result.sin_y, &result.sin_r};
  const StandardErrors& errors = result.errors;
  for (std::size_t r = 0; r < result.rows(); ++r) {
    out += std::to_string(result.lag[r]);
    if (format.time_step > 0.0) {
      out += format.separator;
      append_double(out, static_cast<double>(result.lag[r]) * format.time_step);
    }
    out += format.separator;
    out += std::to_string(result.pairs[r]);
    for (const auto* column : moments) {
      if (column->size() != result.rows()) continue;  // a quantity left out
      out += format.separator;
      append_double(out, (*column)[r]);
    }
    for (const auto* group : groups) {
      for (const auto& column : *group) {
        out += format.separator;
        append_double(out, column[r]);
      }
    }
    if (!errors.empty()) {
      for (const auto* column : {&errors.msd, &errors.ngp}) {
        if (column->empty()) continue;
        out += format.separator;
        append_double(out, (*column)[r]);
      }
      for (const auto* group : {&errors.cos_x, &errors.cos_y, &errors.cos_r}) {
        for (const auto& column : *group) {
          out += format.separator;
          append_double(out, column[r]);
        }
      }
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
