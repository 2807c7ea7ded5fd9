#include "cli/position_corrections.h"

#include <charconv>
#include <cmath>
#include <regex>
#include <sstream>

#include "engine/drift.h"
#include "engine/unwrap.h"

namespace msdisf {

namespace {

std::string shortest(double v) {
  char text[32];
  const auto [end, error] = std::to_chars(text, text + sizeof text, v);
  return error == std::errc() ? std::string(text, end) : std::to_string(v);
}

TrajectoryData records_of(const RecordTable& table) {
  return {table.x, table.y, table.frame, table.particle, table.z};
}

void take_axes(RecordTable& table, std::vector<std::vector<double>>& axes) {
  std::vector<double>* targets[] = {&table.x, &table.y, &table.z};
  for (std::size_t d = 0; d < axes.size(); ++d) *targets[d] = std::move(axes[d]);
}

// The engine's "record R: particle P at frame F: ..." in the user's terms:
// the line, the particle's own id and, for a file of times, the time.
std::string in_user_terms(const AnalysisError& error, const RecordTable& table) {
  std::string text = error.what();
  if (error.record < 0) return text;
  const auto i = static_cast<std::size_t>(error.record);
  text = std::regex_replace(text, std::regex("^record \\d+: "), "");
  text = std::regex_replace(text, std::regex("^particle -?\\d+"), "particle '" + table.particle_text(i) + "'",
                            std::regex_constants::format_first_only);
  if (!table.time.empty()) {
    text = std::regex_replace(text, std::regex("frame -?\\d+"), "time " + shortest(table.time[i]),
                              std::regex_constants::format_first_only);
  }
  return "line " + std::to_string(table.line[i]) + ": " + text;
}

std::string drift_table(const Drift& drift) {
  const char* names[] = {"dx", "dy", "dz"};
  std::string out = "frame";
  for (std::size_t d = 0; d < drift.axis.size(); ++d) out += std::string(",") + names[d];
  out += "\n";
  for (std::size_t k = 0; k < drift.frame.size(); ++k) {
    out += std::to_string(drift.frame[k]);
    for (const auto& axis : drift.axis) out += "," + shortest(axis[k]);
    out += "\n";
  }
  return out;
}

}  // namespace

std::optional<std::vector<double>> number_list(const std::string& text) {
  std::vector<double> values;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    char* end = nullptr;
    const double v = std::strtod(item.c_str(), &end);
    if (item.empty() || *end != '\0' || !std::isfinite(v)) return std::nullopt;
    values.push_back(v);
  }
  if (values.empty() || text.back() == ',') return std::nullopt;
  return values;
}

std::optional<std::vector<double>> box_from_text(const std::string& text) {
  const auto lengths = number_list(text);
  if (!lengths || lengths->size() > 3) return std::nullopt;
  for (const double length : *lengths) {
    if (!(length > 0.0)) return std::nullopt;
  }
  return lengths;
}

CorrectionOutcome correct_positions(RecordTable& table, const PositionCorrections& corrections) {
  CorrectionOutcome out;
  const char* option = "--box";
  try {
    if (!corrections.box.empty()) {
      Unwrapped unwrapped = unwrap(records_of(table), corrections.box);
      take_axes(table, unwrapped.axis);
      out.notes = std::move(unwrapped.notes);
    }
    option = "--subtract-drift";
    if (corrections.subtract_drift) {
      const Drift drift = ensemble_drift(records_of(table));
      std::vector<std::vector<double>> positions = without_drift(records_of(table), drift);
      take_axes(table, positions);
      out.notes.insert(out.notes.end(), drift.notes.begin(), drift.notes.end());
      out.drift_csv = drift_table(drift);
    }
  } catch (const AnalysisError& error) {
    out.options_problem = error.kind == AnalysisError::Kind::kInvalidOptions;
    out.problem = (out.options_problem ? std::string(option) + ": " : std::string()) + in_user_terms(error, table);
  }
  return out;
}

}  // namespace msdisf
