#include "io/sums_file.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <optional>

#include "engine/option_text.h"
#include "engine/result_columns.h"

namespace msdisf {

namespace {

constexpr std::string_view kFirstLine = "# msdisf sums 2";
// The layout before the dimensions were recorded: two dimensions, no axis sums.
constexpr std::string_view kFirstLineVersion1 = "# msdisf sums 1";
constexpr const char* kAxisNames[] = {"x", "y", "z"};

void append_number(std::string& out, double v) {
  char text[32];
  const auto [end, error] = std::to_chars(text, text + sizeof text, v);
  out.append(text, error == std::errc() ? static_cast<std::size_t>(end - text) : 0);
}

const char* estimator_name(PairRule rule) {
  switch (rule) {
    case PairRule::kWindow:
      return "window";
    case PairRule::kPerTrajectory:
      return "per-trajectory";
    default:
      return "all-pairs";
  }
}

std::string quantity_names(const Quantities& q) {
  std::string text;
  const std::pair<const char*, bool> names[] = {{"msd", q.msd}, {"mqd", q.mqd}, {"ngp", q.ngp},
                                                {"skewness", q.skewness}, {"md", q.md}, {"mcd", q.mcd},
                                                {"isf", q.scattering}, {"msd_axes", q.msd_axes},
                                                {"mean_axes", q.mean_axes}, {"msd_centered", q.msd_centered},
                                                {"alpha2", q.alpha2}, {"fs", q.fs}};
  for (const auto& [name, wanted] : names) {
    if (wanted) text += (text.empty() ? "" : ",") + std::string(name);
  }
  return text;
}

std::string escaped(std::string_view id) {
  std::string out;
  for (const char c : id) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || c == '%') {
      char code[4];
      std::snprintf(code, sizeof code, "%%%02X", byte);
      out += code;
    } else {
      out += c;
    }
  }
  return out;
}

std::optional<std::string> unescaped(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    unsigned value = 0;
    if (i + 2 >= text.size() ||
        std::from_chars(text.data() + i + 1, text.data() + i + 3, value, 16).ptr != text.data() + i + 3) {
      return std::nullopt;
    }
    out += static_cast<char>(value);
    i += 2;
  }
  return out;
}

// The named sum columns in file order, each with a pointer into `sums`:
// s1..s4, r4 (sum |dr|^4, with alpha2), the axis sums s1_x, s1_y, s1_z, s2_x, ..., then the scattering
// sums, all cos_x[q], then cos_y, cos_z, cos_r, sin_x, sin_y, sin_z, sin_r.
template <class Sums>
auto sum_columns(Sums& sums) {
  using Column = std::conditional_t<std::is_const_v<Sums>, const std::vector<double>, std::vector<double>>;
  std::vector<std::pair<std::string, Column*>> columns;
  for (auto [name, column] : {std::pair{"s1", &sums.s1}, {"s2", &sums.s2}, {"s3", &sums.s3}, {"s4", &sums.s4},
                              {"r4", &sums.r4}}) {
    if (!column->empty()) columns.emplace_back(name, column);
  }
  for (auto [name, axes] : {std::pair{"s1", &sums.axis_s1}, {"s2", &sums.axis_s2}, {"s3", &sums.axis_s3},
                            {"s4", &sums.axis_s4}}) {
    for (std::size_t a = 0; a < axes->size() && a < 3; ++a) {
      columns.emplace_back(std::string(name) + "_" + kAxisNames[a], &(*axes)[a]);
    }
  }
  const std::pair<const char*, decltype(&sums.cos_x)> groups[] = {
      {"cos_x", &sums.cos_x}, {"cos_y", &sums.cos_y}, {"cos_z", &sums.cos_z}, {"cos_r", &sums.cos_r},
      {"sin_x", &sums.sin_x}, {"sin_y", &sums.sin_y}, {"sin_z", &sums.sin_z}, {"sin_r", &sums.sin_r},
      {"fs", &sums.fs}};
  for (const auto& [name, group] : groups) {
    for (std::size_t w = 0; w < group->size(); ++w) {
      columns.emplace_back(std::string(name) + "[" + wave_label(sums.wave_numbers[w]) + "]", &(*group)[w]);
    }
  }
  if (sums.errors.empty() || sums.errors.groups.size() != sums.lag.size()) return columns;
  // What the standard errors need: see ErrorSums.
  auto& e = sums.errors;
  columns.emplace_back("se_groups", &e.groups);
  columns.emplace_back("se_nn", &e.nn);
  columns.emplace_back("se_s2s4", &e.s2s4);
  const std::size_t waves = (e.ss.size() - 2) / 3;
  for (std::size_t c = 0; c < e.ss.size(); ++c) {
    static constexpr const char* kDirections[] = {"cos_x", "cos_y", "cos_r"};
    const std::string of = c < 2 ? (c == 0 ? "s2" : "s4")
                                 : std::string(kDirections[(c - 2) / waves]) + "[" +
                                       wave_label(sums.wave_numbers[(c - 2) % waves]) + "]";
    columns.emplace_back("se_ss " + of, &e.ss[c]);
    columns.emplace_back("se_sn " + of, &e.sn[c]);
  }
  return columns;
}

// Splits at tabs.
std::vector<std::string_view> fields_of(std::string_view line) {
  std::vector<std::string_view> fields;
  while (true) {
    const std::size_t tab = line.find('\t');
    fields.push_back(line.substr(0, tab));
    if (tab == std::string_view::npos) return fields;
    line.remove_prefix(tab + 1);
  }
}

template <class T>
bool parse(std::string_view text, T& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

bool parse_hex(std::string_view text, std::uint64_t& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}
  std::optional<std::string_view> line() {
    if (at_ >= text_.size()) return std::nullopt;
    const std::size_t end = std::min(text_.find('\n', at_), text_.size());
    const std::string_view l = text_.substr(at_, end - at_);
    at_ = end + 1;
    ++number_;
    return l;
  }
  /// The text from the next line on.
  std::string_view rest() const { return text_.substr(std::min(at_, text_.size())); }
  /// Moves past `bytes` of rest(), which hold `lines` whole lines.
  void skip(std::size_t bytes, long lines) {
    at_ += bytes;
    number_ += lines;
  }
  SumsFileError error(const std::string& what) const {
    return {"line " + std::to_string(number_) + ": " + what};
  }
  /// "# key<TAB>values..." with the given key: the values.
  std::optional<std::vector<std::string_view>> header(std::string_view key) {
    const auto l = line();
    if (!l) return std::nullopt;
    std::vector<std::string_view> fields = fields_of(*l);
    if (fields.front() != "# " + std::string(key)) return std::nullopt;
    fields.erase(fields.begin());
    return fields;
  }

 private:
  std::string_view text_;
  std::size_t at_ = 0;
  long number_ = 0;
};

void allocate(LagSums& sums, std::size_t rows) {
  const Quantities& q = sums.quantities;
  const NeededSums needed = needed_sums(q, sums.dimensions);
  const bool s1 = needed.s1, s2 = needed.s2, s3 = needed.s3, s4 = needed.s4, by_axis = needed.per_axis;
  sums.r4.assign(needed.r4 ? rows : 0, 0.0);
  const auto axes = static_cast<std::size_t>(sums.dimensions);
  const std::tuple<bool, std::vector<double>*, std::vector<std::vector<double>>*> moments[] = {
      {s1, &sums.s1, &sums.axis_s1}, {s2, &sums.s2, &sums.axis_s2}, {s3, &sums.s3, &sums.axis_s3},
      {s4, &sums.s4, &sums.axis_s4}};
  for (const auto& [formed, column, by_axes] : moments) {
    column->assign(formed ? rows : 0, 0.0);
    by_axes->assign(formed && by_axis ? axes : 0, std::vector<double>(rows, 0.0));
  }
  sums.pairs.assign(rows, 0);
  sums.lag.assign(rows, 0);
  const std::size_t waves = q.scattering ? sums.wave_numbers.size() : 0;
  sums.fs.assign(q.fs ? sums.wave_numbers.size() : 0, std::vector<double>(rows, 0.0));
  const std::pair<bool, std::vector<std::vector<double>>*> groups[] = {
      {true, &sums.cos_x}, {axes >= 2, &sums.cos_y}, {axes == 3, &sums.cos_z}, {axes >= 2, &sums.cos_r},
      {true, &sums.sin_x}, {axes >= 2, &sums.sin_y}, {axes == 3, &sums.sin_z}, {axes >= 2, &sums.sin_r}};
  for (const auto& [present, group] : groups) group->assign(present ? waves : 0, std::vector<double>(rows, 0.0));
  if (!sums.errors.empty()) {
    ErrorSums& e = sums.errors;
    for (auto* column : {&e.groups, &e.nn, &e.s2s4}) column->assign(rows, 0.0);
    e.ss.assign(2 + 3 * waves, std::vector<double>(rows, 0.0));
    e.sn = e.ss;
  }
}

template <class T>
bool take(const char*& p, const char* end, T& value) {
  const auto [next, error] = std::from_chars(p, end, value);
  if (error != std::errc()) return false;
  p = next;
  return true;
}

// Reads the row at `p` in place (lag, pairs and a number for each column,
// tab-separated, up to a line end or the end of the text) and moves `p`
// past it; false, with `p` anywhere, when it is anything else.
bool quick_row(const char*& p, const char* end, std::size_t r, LagSums& sums, const std::vector<double*>& columns) {
  if (!take(p, end, sums.lag[r]) || p == end || *p++ != '\t' || !take(p, end, sums.pairs[r])) return false;
  for (double* column : columns) {
    if (p == end || *p++ != '\t' || !take(p, end, column[r])) return false;
  }
  return p == end || *p++ == '\n';
}

// What is wrong with the next line, a row that quick_row did not take.
SumsFileError row_error(Reader& in, std::size_t columns) {
  const auto l = in.line();
  const auto fields = fields_of(l.value_or(std::string_view()));
  if (fields.size() != columns + 2) return in.error("a row of " + std::to_string(fields.size()) + " fields");
  long whole = 0;
  if (!parse(fields[0], whole) || !parse(fields[1], whole)) return in.error("a lag or pair count that is not a whole number");
  for (std::size_t c = 2; c < fields.size(); ++c) {
    double number = 0.0;
    if (!parse(fields[c], number)) return in.error("'" + std::string(fields[c]) + "' is not a number");
  }
  return in.error("a row that cannot be read");
}

std::optional<SumsFileError> read_rows(Reader& in, LagSums& sums, std::size_t rows) {
  auto columns = sum_columns(sums);
  const auto head = in.line();
  std::string expected = "lag\tpairs";
  for (const auto& [name, column] : columns) expected += "\t" + name;
  if (!head || *head != expected) return in.error("the column names are not those the header lines call for");
  std::vector<double*> into;
  for (const auto& [name, column] : columns) into.push_back(column->data());
  const std::string_view text = in.rest();
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  const char* p = begin;
  for (std::size_t r = 0; r < rows; ++r) {
    const char* const row = p;
    if (row == end || !quick_row(p, end, r, sums, into)) {
      in.skip(static_cast<std::size_t>(row - begin), static_cast<long>(r));
      if (row == end) return in.error("the file ends after " + std::to_string(r) + " of " + std::to_string(rows) + " rows");
      return row_error(in, columns.size());
    }
  }
  in.skip(static_cast<std::size_t>(p - begin), static_cast<long>(rows));
  return std::nullopt;
}

std::optional<SumsFileError> read_particles(Reader& in, LagSums& sums, std::size_t particles) {
  if (in.line() != std::optional<std::string_view>("# particle keys")) return in.error("no '# particle keys' line");
  sums.particles.resize(particles);
  for (std::size_t p = 0; p < particles; ++p) {
    const auto l = in.line();
    if (!l) return in.error("the file ends after " + std::to_string(p) + " of " + std::to_string(particles) + " particles");
    const auto fields = fields_of(*l);
    const auto id = fields.size() == 2 ? unescaped(fields[1]) : std::nullopt;
    if (fields.size() != 2 || fields[0].size() != 16 || !parse_hex(fields[0], sums.particles[p].key) || !id) {
      return in.error("not a particle key and id");
    }
    sums.particles[p].id = *id;
    if (p > 0 && !(sums.particles[p - 1].key < sums.particles[p].key)) return in.error("particle keys out of order");
  }
  if (in.line() != std::optional<std::string_view>("# end")) return in.error("no '# end' line: the file is not whole");
  return std::nullopt;
}

std::variant<LagSums, SumsFileError> read_body(Reader& in, LagSums sums, std::size_t rows, std::size_t particles,
                                               bool with_errors) {
  // Every field takes a character and a tab or line end, every particle line
  // 18 bytes at least: a count the text cannot hold is refused before any
  // room is made for it.
  sums.errors.ss.resize(with_errors ? 1 : 0);  // marks the error sums as present until they are made
  allocate(sums, 0);
  const std::size_t per_row = 2 * (sum_columns(sums).size() + 2), per_particle = 18;
  const std::size_t left = in.rest().size();
  if (rows > left / per_row || particles > (left - rows * per_row) / per_particle) {
    return in.error("the file is shorter than the rows and particles it announces");
  }
  allocate(sums, rows);
  if (auto error = read_rows(in, sums, rows)) return *error;
  if (auto error = read_particles(in, sums, particles)) return *error;
  return sums;
}

}  // namespace

bool write_sums_file(const LagSums& sums, const std::function<bool(std::string_view)>& sink) {
  std::string out = std::string(kFirstLine) + "\n# estimator\t" + estimator_name(sums.estimator) +
                    "\n# quantities\t" + quantity_names(sums.quantities) + "\n# dimensions\t" +
                    std::to_string(sums.dimensions) + "\n# errors\t" + (sums.errors.empty() ? "0" : "1") +
                    "\n# wave_numbers";
  for (const double q : sums.wave_numbers) out += "\t", append_number(out, q);
  out += "\n# dt\t";
  append_number(out, sums.dt);
  out += "\n# mpp\t";
  append_number(out, sums.mpp);
  out += "\n# sources";
  for (const std::string& s : sums.sources) out += "\t" + escaped(s);
  out += "\n# rows\t" + std::to_string(sums.rows()) + "\n# particles\t" + std::to_string(sums.particles.size()) +
         "\nlag\tpairs";
  const auto columns = sum_columns(sums);
  for (const auto& [name, column] : columns) out += "\t" + name;
  out += '\n';
  for (std::size_t r = 0; r < sums.rows(); ++r) {
    out += std::to_string(sums.lag[r]) + "\t" + std::to_string(sums.pairs[r]);
    for (const auto& [name, column] : columns) out += "\t", append_number(out, (*column)[r]);
    out += '\n';
    if (out.size() > (1 << 20)) {
      if (!sink(out)) return false;
      out.clear();
    }
  }
  out += "# particle keys\n";
  for (const ParticleKey& p : sums.particles) {
    char key[24];
    std::snprintf(key, sizeof key, "%016llx", static_cast<unsigned long long>(p.key));
    out += std::string(key) + "\t" + escaped(p.id) + "\n";
    if (out.size() > (1 << 20)) {
      if (!sink(out)) return false;
      out.clear();
    }
  }
  out += "# end\n";
  return sink(out);
}

std::variant<LagSums, SumsFileError> read_sums_file(std::string_view text, const std::string& name) {
  Reader in(text);
  if (text.empty()) return SumsFileError{"the file is empty"};
  const auto first = in.line();
  if (first != kFirstLine && first != kFirstLineVersion1) {
    return in.error("not a sums file of a version this program reads (its first line is not '" +
                    std::string(kFirstLine) + "' or '" + std::string(kFirstLineVersion1) + "')");
  }
  LagSums sums;
  bool with_errors = false;
  const auto estimator = in.header("estimator");
  const auto rule = estimator && estimator->size() == 1 ? pair_rule_from_text((*estimator)[0]) : std::nullopt;
  if (!rule) return in.error("no '# estimator' line naming an estimator");
  sums.estimator = *rule;
  const auto quantities = in.header("quantities");
  const auto wanted = quantities && quantities->size() == 1 ? quantities_from_text((*quantities)[0]) : std::nullopt;
  if (!wanted) return in.error("no '# quantities' line naming quantities");
  sums.quantities = *wanted;
  if (first == kFirstLine) {
    const auto dimensions = in.header("dimensions");
    if (!dimensions || dimensions->size() != 1 || !parse((*dimensions)[0], sums.dimensions) ||
        sums.dimensions < 1 || sums.dimensions > 3) {
      return in.error("no '# dimensions' line with 1, 2 or 3");
    }
    const auto errors = in.header("errors");
    if (!errors || errors->size() != 1 || ((*errors)[0] != "0" && (*errors)[0] != "1")) {
      return in.error("no '# errors' line with 0 or 1");
    }
    with_errors = (*errors)[0] == "1";
  }
  const auto waves = in.header("wave_numbers");
  if (!waves) return in.error("no '# wave_numbers' line");
  for (const std::string_view w : *waves) {
    double q = 0.0;
    if (!parse(w, q)) return in.error("'" + std::string(w) + "' is not a wave number");
    sums.wave_numbers.push_back(q);
  }
  for (auto [key, value] : {std::pair{"dt", &sums.dt}, {"mpp", &sums.mpp}}) {
    const auto given = in.header(key);
    if (!given || given->size() != 1 || !parse((*given)[0], *value)) {
      return in.error("no '# " + std::string(key) + "' line with a number");
    }
  }
  const auto sources = in.header("sources");
  if (!sources) return in.error("no '# sources' line");
  for (const std::string_view s : *sources) {
    if (const auto source = unescaped(s)) sums.sources.push_back(*source);
  }
  if (sums.sources.empty()) sums.sources.push_back(name);
  std::size_t rows = 0, particles = 0;
  const auto r = in.header("rows");
  if (!r || r->size() != 1 || !parse((*r)[0], rows)) return in.error("no '# rows' line with a count");
  const auto p = in.header("particles");
  if (!p || p->size() != 1 || !parse((*p)[0], particles)) return in.error("no '# particles' line with a count");
  return read_body(in, std::move(sums), rows, particles, with_errors);
}

}  // namespace msdisf
