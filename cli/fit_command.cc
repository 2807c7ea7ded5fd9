#include "cli/fit_command.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "cli/subcommand.h"
#include "engine/msd_fit.h"
#include "io/record_table.h"

namespace msdisf {

namespace {

struct Columns {
  std::vector<long> lag;
  std::vector<double> time, msd, msd_se;
  bool has_time = false;
  int dimensions = 2;  // from the metadata line's "dimensions: N"; 2 without one
};

// N of "dimensions: N" in an msdisf metadata line, if it says 1, 2 or 3.
std::optional<int> dimensions_of(const std::string& comment) {
  const std::size_t at = comment.find("; dimensions: ");
  if (at == std::string::npos) return std::nullopt;
  const char d = comment.size() > at + 14 ? comment[at + 14] : '\0';
  if (d < '1' || d > '3') return std::nullopt;
  return d - '0';
}

std::vector<std::string> fields_of(const std::string& line, char separator) {
  std::vector<std::string> fields;
  std::stringstream in(line);
  std::string field;
  while (std::getline(in, field, separator)) {
    while (!field.empty() && (field.back() == '\r' || field.back() == ' ')) field.pop_back();
    while (!field.empty() && field.front() == ' ') field.erase(0, 1);
    fields.push_back(field);
  }
  return fields;
}

// The lag, time, msd and msd_se columns of an msdisf table; an error line
// naming the table, the line and the problem otherwise.
std::variant<Columns, std::string> read_columns(const std::string& path, const std::string& text) {
  std::stringstream in(text);
  std::string line;
  long number = 0;
  std::optional<char> separator;
  long at_lag = -1, at_time = -1, at_msd = -1, at_se = -1;
  Columns columns;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line[0] == '#' && !separator) {
      if (const auto d = dimensions_of(line)) columns.dimensions = *d;
    }
    if (line.empty() || line[0] == '#') continue;
    const std::string where = path + ": line " + std::to_string(number) + ": ";
    if (!separator) {
      separator = line.find('\t') != std::string::npos ? '\t' : ',';
      const auto names = fields_of(line, *separator);
      for (long i = 0; i < static_cast<long>(names.size()); ++i) {
        const std::string& n = names[static_cast<std::size_t>(i)];
        if (n == "lag") at_lag = i;
        if (n == "time") at_time = i;
        if (n == "msd") at_msd = i;
        if (n == "msd_se") at_se = i;
      }
      if (at_lag < 0 || at_msd < 0) return where + "the header has no lag and msd columns; is this an msdisf table?";
      if (at_se < 0) return where + "the header has no msd_se column; write the table with msdisf --errors";
      columns.has_time = at_time >= 0;
      continue;
    }
    const auto fields = fields_of(line, *separator);
    auto value = [&](long at, double& out) {
      if (at >= static_cast<long>(fields.size())) return false;
      const std::string& f = fields[static_cast<std::size_t>(at)];
      char* end = nullptr;
      out = std::strtod(f.c_str(), &end);
      return !f.empty() && *end == '\0';
    };
    double lag = 0.0, time = 0.0, msd = 0.0, se = 0.0;
    if (!value(at_lag, lag) || lag < 1 || lag != std::floor(lag)) return where + "the lag is not a whole number >= 1";
    if (!value(at_msd, msd) || !value(at_se, se) || (columns.has_time && !value(at_time, time))) {
      return where + "a time, msd or msd_se field is missing or not a number";
    }
    columns.lag.push_back(static_cast<long>(lag));
    columns.time.push_back(columns.has_time ? time : lag);
    columns.msd.push_back(msd);
    columns.msd_se.push_back(se);
  }
  if (!separator) return path + ": holds no table";
  return columns;
}

std::optional<std::pair<long, long>> lag_range(const std::string& text) {
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos) return std::nullopt;
  char* end = nullptr;
  const std::string a = text.substr(0, colon), b = text.substr(colon + 1);
  const long first = std::strtol(a.c_str(), &end, 10);
  if (a.empty() || *end != '\0') return std::nullopt;
  const long last = std::strtol(b.c_str(), &end, 10);
  if (b.empty() || *end != '\0' || first < 1 || last < first) return std::nullopt;
  return std::pair{first, last};
}

}  // namespace

int run_fit(int argc, const char* const* argv, Console& console) {
  std::string table_path, lags;
  bool json = false;
  CLI::App app{"msdisf fit: D, alpha and the offset of msd = 2 d D t^alpha + offset (d dimensions, from the\n"
               "table's metadata line; 2 without one), with standard errors, from a table msdisf wrote with --errors.",
               "msdisf fit"};
  app.add_option("TABLE", table_path, "A table written by msdisf --errors ('-' for standard input)")->required();
  app.add_option("--lags", lags, "The lags to fit, A:B (in frames)")->required();
  app.add_flag("--json", json, "Print one JSON object instead of the readable block");
  if (const auto status = parse_subcommand(app, argc, argv, console, "msdisf fit")) return *status;
  const auto range = lag_range(lags);
  if (!range) {
    console.err << "msdisf fit: --lags takes A:B with 1 <= A <= B, such as 1:10; not '" << lags << "'" << std::endl;
    return 2;
  }
  std::string unreadable;
  const std::optional<std::string> text = load_input(table_path, unreadable);
  if (!text) {
    console.err << "msdisf fit: " << table_path << ": cannot be read: " << unreadable << std::endl;
    return 1;
  }
  const auto read = read_columns(table_path, *text);
  if (const auto* problem = std::get_if<std::string>(&read)) {
    console.err << "msdisf fit: " << *problem << std::endl;
    return 3;
  }
  const Columns& c = std::get<Columns>(read);
  try {
    const MsdFit fit = fit_msd(c.lag, c.time, c.msd, c.msd_se, range->first, range->second, c.dimensions);
    const std::string unit = c.has_time ? "time unit" : "frame";
    console.out << (json ? fit_json(fit, unit) : describe_fit(fit, unit));
  } catch (const FitError& error) {
    console.err << "msdisf fit: " << table_path << ": " << error.what() << std::endl;
    return 3;
  }
  return 0;
}

}  // namespace msdisf
