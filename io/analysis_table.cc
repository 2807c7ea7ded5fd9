#include "io/analysis_table.h"

#include <omp.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>

#include "engine/result_columns.h"

namespace msdisf {

namespace {

// The longest text of one value: "-2.2250738585072014e-308" and
// "-9223372036854775808" both fit.
constexpr std::size_t kLongestNumber = 24;

// Writes the shortest text that reads back as `value` ("nan" for NaN).
char* put_double(char* out, double value) {
  if (std::isnan(value)) {
    std::memcpy(out, "nan", 3);
    return out + 3;
  }
  return std::to_chars(out, out + kLongestNumber, value).ptr;
}

char* put_whole(char* out, std::int64_t value) { return std::to_chars(out, out + kLongestNumber, value).ptr; }

// A particle id as a field: quoted, with quotes doubled, when it holds the
// separator, a quote or a line end, so that readers of the table split it
// as written.
std::string id_field(const std::string& name, char separator) {
  if (name.find_first_of(std::string{separator, '"', '\n', '\r'}) == std::string::npos) return name;
  std::string field = "\"";
  for (const char c : name) field += c == '"' ? std::string("\"\"") : std::string(1, c);
  return field + "\"";
}

// What every row needs: the result, its value columns, the format and the
// particle ids as written.
struct Rows {
  const AnalysisResult& result;
  const AnalysisTableFormat& format;
  std::vector<const std::vector<double>*> columns;
  std::vector<std::string> id_fields;
  std::size_t longest_name = 0;

  /// At most this many bytes make one row.
  std::size_t row_bound() const {
    return std::max(longest_name, kLongestNumber) + (columns.size() + 4) * (kLongestNumber + 1) + 1;
  }

  /// Writes row r, its line end included, from `out`; returns its end.
  char* put(char* out, std::size_t r) const {
    const char separator = format.separator;
    if (!result.particle.empty()) {
      const std::int64_t id = result.particle[r];
      const bool named = id >= 0 && static_cast<std::size_t>(id) < id_fields.size();
      if (named) {
        const std::string& name = id_fields[static_cast<std::size_t>(id)];
        out = std::copy(name.begin(), name.end(), out);
      } else {
        out = put_whole(out, id);
      }
      *out++ = separator;
    }
    out = put_whole(out, result.lag[r]);
    if (format.time_step > 0.0) {
      *out++ = separator;
      out = put_double(out, static_cast<double>(result.lag[r]) * format.time_step);
    }
    *out++ = separator;
    out = put_whole(out, result.pairs[r]);
    for (const auto* column : columns) {
      *out++ = separator;
      out = put_double(out, (*column)[r]);
    }
    if (!result.errors.empty()) {
      *out++ = separator;
      out = put_whole(out, result.errors.groups[r]);
    }
    *out++ = '\n';
    return out;
  }
};

// Rows are formatted in blocks of up to this much text, one block at a time
// on each thread, and handed to the sink in row order as each is done, so
// that writing one block overlaps formatting the next ones.
constexpr std::size_t kBlockBytes = std::size_t{4} << 20;

std::string header_text(const AnalysisResult& result, const AnalysisTableFormat& format) {
  std::string out;
  if (!format.metadata.empty()) out += "# " + format.metadata + "\n";
  const std::vector<std::string> names = analysis_columns(result, format);
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += format.separator;
    out += names[i];
  }
  out += '\n';
  return out;
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
  if (!sink(header_text(result, format))) return false;
  Rows rows{result, format, {}, {}};
  for (const auto& [name, values] : result_columns(result)) rows.columns.push_back(values);
  for (const std::string& name : format.particle_names) {
    rows.id_fields.push_back(id_field(name, format.separator));
    rows.longest_name = std::max(rows.longest_name, rows.id_fields.back().size());
  }
  const std::size_t row_bound = rows.row_bound();
  const std::size_t block_rows = std::max<std::size_t>(1, kBlockBytes / row_bound);
  const long blocks = static_cast<long>((result.rows() + block_rows - 1) / block_rows);
  const int threads = format.threads > 0 ? format.threads : omp_get_max_threads();
  bool failed = false;
#pragma omp parallel num_threads(threads) if (threads > 1 && blocks > 1)
  {
    const std::unique_ptr<char[]> text(new char[std::min(block_rows, result.rows()) * row_bound]);
#pragma omp for ordered schedule(dynamic, 1)
    for (long b = 0; b < blocks; ++b) {
      const std::size_t begin = static_cast<std::size_t>(b) * block_rows;
      const std::size_t end = std::min(result.rows(), begin + block_rows);
      char* out = text.get();
      for (std::size_t r = begin; r < end; ++r) out = rows.put(out, r);
#pragma omp ordered
      {
        if (!failed) failed = !sink(std::string_view(text.get(), static_cast<std::size_t>(out - text.get())));
      }
    }
  }
  return !failed;
}

}  // namespace msdisf
