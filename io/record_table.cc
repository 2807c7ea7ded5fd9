#include "io/record_table.h"

#include <fcntl.h>
#include <omp.h>

#include "engine/huge_pages.h"
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>
#include <unordered_map>

namespace msdisf {

namespace {

bool blank_or_quote(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '"' || c == '\''; }

std::string_view trim(std::string_view s) {
  if (!s.empty() && !blank_or_quote(s.front()) && !blank_or_quote(s.back())) return s;
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  if (s.size() >= 2 && (s.front() == '"' || s.front() == '\'') && s.back() == s.front()) s = s.substr(1, s.size() - 2);
  return s;
}

// The fields of a line, at most `most` of them.
void split(std::string_view line, char separator, std::vector<std::string_view>& fields,
           std::size_t most = std::string_view::npos) {
  fields.clear();
  if (separator == ' ') {
    std::size_t i = 0;
    while (i < line.size() && fields.size() < most) {
      while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
      if (i == line.size()) break;
      const std::size_t start = i;
      while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
      fields.push_back(line.substr(start, i - start));
    }
    return;
  }
  std::size_t start = 0;
  while (fields.size() < most) {
    const std::size_t end = line.find(separator, start);
    fields.push_back(trim(line.substr(start, end == std::string_view::npos ? end : end - start)));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
}

constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                   1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Digits with an optional point and more digits, after an optional minus:
// the form of nearly every number in a trajectory file. Reads it exactly as
// from_chars does, since a whole number up to 2^53 divided by a power of ten
// up to 10^22 is one correctly rounded division; false for any other text.
bool plain_decimal(std::string_view token, double& value) {
  const char* p = token.data();
  const char* const end = p + token.size();
  const bool negative = p != end && *p == '-';
  p += negative ? 1 : 0;
  std::uint64_t digits = 0;
  const char* const first = p;
  while (p != end && static_cast<unsigned>(*p - '0') < 10) digits = digits * 10 + static_cast<unsigned>(*p++ - '0');
  const long whole_digits = p - first;
  long fraction_digits = 0;
  if (p != end && *p == '.') {
    const char* const fraction = ++p;
    while (p != end && static_cast<unsigned>(*p - '0') < 10) digits = digits * 10 + static_cast<unsigned>(*p++ - '0');
    fraction_digits = p - fraction;
    if (fraction_digits == 0) return false;
  }
  if (p != end || whole_digits == 0 || whole_digits + fraction_digits > 19 || fraction_digits > 22 ||
      digits > (std::uint64_t{1} << 53)) {
    return false;
  }
  value = static_cast<double>(digits) / kPowersOfTen[fraction_digits];
  if (negative) value = -value;
  return true;
}

// A number as text writes it, including values beyond the range of a double
// (1e-400 reads as 0, 1e400 as infinity).
std::optional<double> number(std::string_view token) {
  token = trim(token);
  if (!token.empty() && token.front() == '+') token.remove_prefix(1);
  double value = 0.0;
  if (plain_decimal(token, value)) return value;
  const auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), value);
  if (token.empty() || end != token.data() + token.size()) return std::nullopt;
  if (error == std::errc::result_out_of_range) return std::strtod(std::string(token).c_str(), nullptr);
  if (error != std::errc()) return std::nullopt;
  return value;
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// The tokens that mark a missing value, as trackers and spreadsheets write them.
bool missing_token(std::string_view token) {
  token = trim(token);
  if (token.empty()) return true;
  if (token.size() > 4) return false;
  const std::string t = lower(token);
  return t == "na" || t == "n/a" || t == "nan" || t == "null" || t == "none";
}

// A token as a message quotes it: long ones cut, with their length.
std::string quoted(std::string_view token) {
  if (token.size() <= 40) return "'" + std::string(token) + "'";
  return "'" + std::string(token.substr(0, 32)) + "...' (" + std::to_string(token.size()) + " characters)";
}

const char* separator_name(char separator) {
  switch (separator) {
    case ',':
      return "comma-separated";
    case ';':
      return "semicolon-separated";
    case '\t':
      return "tab-separated";
    default:
      return "white-space-separated";
  }
}

// Content lines: neither blank nor a comment.
struct Line {
  std::string_view text;
  long number;
};

class Lines {
 public:
  explicit Lines(std::string_view text, long lines_before = 0) : text_(text), number_(lines_before) {}
  /// The comment right before the line `next` returned, without its '#';
  /// empty when a blank line or no comment stands there.
  std::string_view comment;

  bool next(Line& line) {
    comment = {};
    while (at_ < text_.size()) {
      const std::size_t end = std::min(text_.find('\n', at_), text_.size());
      const std::string_view raw = text_.substr(at_, end - at_);
      at_ = end + 1;
      ++number_;
      const std::string_view content = trim(raw);
      if (content.empty()) comment = {};
      if (!content.empty() && content.front() == '#') comment = content.substr(1);
      if (content.empty() || content.front() == '#') continue;
      line = {raw, number_};
      return true;
    }
    return false;
  }

 private:
  std::string_view text_;
  std::size_t at_ = 0;
  long number_;
};

enum Role { kX, kY, kFrame, kParticle, kTime, kZ, kRoles };
// Whole numbers below 2^53 are read exactly through a double (larger ones
// may round onto a neighbour): ids from it on are compared as text, frames
// refused.
constexpr double kWholeNumberLimit = 9007199254740992.0;

constexpr std::array<const char*, kRoles> kRoleNames = {"x", "y", "frame", "particle", "time", "z"};

// The chosen columns, by index into a line's fields (-1: none).
struct Columns {
  std::array<int, kRoles> at = {-1, -1, -1, -1, -1, -1};
  std::array<std::string, kRoles> names;
  /// What was guessed about a file without a header, for every message.
  std::string guess;
  bool text_ids = false;

  int time_or_frame() const { return at[kTime] >= 0 ? at[kTime] : at[kFrame]; }
  Role time_role() const { return at[kTime] >= 0 ? kTime : kFrame; }
};

// Texts longer than this are parsed in pieces on every thread.
constexpr std::size_t kParallelBytes = std::size_t{1} << 22;
// A header field longer than this is no column name.
constexpr std::size_t kLongestName = 1000;

// Where one piece of the text puts its records (room for one a line), and
// what else it found: how many records, skipped lines, its first unusable
// line, and text ids with their piece-local codes.
struct RecordPiece {
  double* x = nullptr;
  double* y = nullptr;  // null: no y column
  double* z = nullptr;  // null: no z column
  std::int64_t* frame = nullptr;
  double* time = nullptr;
  std::int64_t* particle = nullptr;  // null: one particle
  long* line = nullptr;
  std::size_t count = 0;
  long missing = 0;
  long skipped = 0;
  std::vector<long> first_skipped;
  std::optional<RecordTableError> error;
  bool saw_text_id = false;
  std::unordered_map<std::string_view, std::int64_t> ids;
  std::vector<std::string_view> id_names;
};

std::string column_list(const std::vector<std::string>& names) {
  std::string list;
  for (const std::string& n : names) list += (list.empty() ? "'" : ", '") + n + "'";
  return list;
}

std::optional<int> find_column(const std::string& wanted, const std::vector<std::string>& header) {
  int number = 0;
  const auto [end, error] = std::from_chars(wanted.data(), wanted.data() + wanted.size(), number);
  if (error == std::errc() && end == wanted.data() + wanted.size()) {
    if (number >= 1 && number <= static_cast<int>(header.size())) return number - 1;
    return std::nullopt;
  }
  for (std::size_t i = 0; i < header.size(); ++i) {
    if (lower(header[i]) == lower(wanted)) return static_cast<int>(i);
  }
  return std::nullopt;
}

int guess_column(const std::vector<std::string>& header, std::initializer_list<const char*> names) {
  for (const char* name : names) {
    for (std::size_t i = 0; i < header.size(); ++i) {
      if (lower(header[i]) == name) return static_cast<int>(i);
    }
  }
  return -1;
}

bool whole(double v) { return std::isfinite(v) && v == std::floor(v); }

// The records of one piece of the text, whose first line follows line
// `lines_before`; stops at the first unusable line unless skipping them.
void parse_records(std::string_view text, long lines_before, const Columns& c, char separator, int needed,
                   const RecordTableOptions& options, RecordPiece& table) {
  Lines lines(text, lines_before);
  std::vector<std::string_view> fields;
  Line line{};
  for (bool have = lines.next(line); have; have = lines.next(line)) {
    split(line.text, separator, fields, static_cast<std::size_t>(needed));
    // Records the problem; true when reading stops here.
    auto stop = [&](const std::string& what) {
      if (!options.skip_bad_lines) {
        table.error = RecordTableError{"line " + std::to_string(line.number) + what + c.guess};
        return true;
      }
      ++table.skipped;
      if (table.first_skipped.size() < 5) table.first_skipped.push_back(line.number);
      return false;
    };
    auto token = [&](int column) { return trim(fields[static_cast<std::size_t>(column)]); };
    auto column_text = [&](Role role) { return ", column '" + c.names[role] + "': "; };
    if (static_cast<int>(fields.size()) < needed) {
      if (stop(": " + std::to_string(fields.size()) + " field" + (fields.size() == 1 ? "" : "s") + ", " +
               std::to_string(needed) + " needed")) {
        return;
      }
      continue;
    }
    double position[3] = {NAN, NAN, NAN};
    bool bad = false, missing = false;
    for (int a = 0; a < 3 && !bad; ++a) {
      const Role r = a == 0 ? kX : a == 1 ? kY : kZ;
      if (c.at[r] < 0) continue;
      const std::string_view t = token(c.at[r]);
      const std::optional<double> v = number(t);
      if (v && std::isfinite(*v)) {
        position[a] = *v;
      } else if (!v && missing_token(t)) {
        missing = true;
      } else if (!v || !std::isnan(*v)) {
        bad = true;
        if (stop(column_text(r) + quoted(t) + " is not a " + (v ? "finite number" : "number"))) return;
      } else {
        missing = true;
      }
    }
    if (bad) continue;
    const Role time_role = c.time_role();
    const std::string_view ft = token(c.time_or_frame());
    const std::optional<double> f = number(ft);
    if (!f || !std::isfinite(*f)) {
      if (stop(column_text(time_role) + quoted(ft) + " is not a number")) return;
      continue;
    }
    if (time_role == kFrame && !whole(*f)) {
      if (stop(column_text(kFrame) + quoted(ft) +
               " is not a whole frame number (for a column of times, give --dt or --fps, or name it with --time)")) {
        return;
      }
      continue;
    }
    if (time_role == kFrame && std::fabs(*f) >= kWholeNumberLimit) {
      if (stop(column_text(kFrame) + quoted(ft) + " is too large a frame (below 2^53 = 9007199254740992)")) return;
      continue;
    }
    if (c.at[kParticle] >= 0) {
      const std::string_view pt = token(c.at[kParticle]);
      if (pt.empty()) {
        if (stop(column_text(kParticle) + "the particle id is missing")) return;
        continue;
      }
      if (c.text_ids) {
        const auto [at, added] = table.ids.try_emplace(pt, static_cast<std::int64_t>(table.id_names.size()));
        if (added) table.id_names.push_back(pt);
        table.particle[table.count] = at->second;
      } else {
        const std::optional<double> p = number(pt);
        if (!p || !whole(*p) || std::fabs(*p) >= kWholeNumberLimit) {
          table.saw_text_id = true;  // read again with ids as text
          return;
        }
        table.particle[table.count] = static_cast<std::int64_t>(*p);
      }
    }
    table.missing += missing ? 1 : 0;
    table.x[table.count] = position[0];
    if (table.y != nullptr) table.y[table.count] = position[1];
    if (table.z != nullptr) table.z[table.count] = position[2];
    if (time_role == kFrame) {
      table.frame[table.count] = static_cast<std::int64_t>(*f);
    } else {
      table.time[table.count] = *f;
    }
    table.line[table.count] = line.number;
    ++table.count;
  }
}

// Whether the first line is a header: some field is neither a number nor a
// missing value. A field too long to be a name is an error of its own.
std::variant<bool, RecordTableError> is_header(const Line& first, const std::vector<std::string_view>& fields) {
  bool header = false;
  for (const auto field : fields) {
    const std::string_view f = trim(field);
    if (f.size() > kLongestName && !number(f)) {
      return RecordTableError{"line " + std::to_string(first.number) + ": " + quoted(f) +
                              " is neither a number nor a column name"};
    }
    header = header || (!number(f) && !missing_token(f));
  }
  return header;
}

// For a headerless file of three fields: t x y when the first field looks
// like the time and the third does not (whole numbers, or never decreasing).
HeaderlessLayout guess_three_columns(std::string_view text, char separator) {
  bool first_whole = true, third_whole = true, first_rising = true, third_rising = true;
  double first_last = -INFINITY, third_last = -INFINITY;
  Lines ahead(text);
  Line probe{};
  std::vector<std::string_view> values;
  for (int n = 0; n < 50 && ahead.next(probe); ++n) {
    split(probe.text, separator, values);
    if (values.size() != 3) continue;
    const double a = number(values[0]).value_or(NAN), b = number(values[2]).value_or(NAN);
    first_whole = first_whole && whole(a);
    third_whole = third_whole && whole(b);
    first_rising = first_rising && a >= first_last;
    third_rising = third_rising && b >= third_last;
    first_last = a, third_last = b;
  }
  if (first_whole != third_whole) return first_whole ? HeaderlessLayout::kTXY : HeaderlessLayout::kXYT;
  return first_rising && !third_rising ? HeaderlessLayout::kTXY : HeaderlessLayout::kXYT;
}

const char* layout_name(HeaderlessLayout layout) {
  switch (layout) {
    case HeaderlessLayout::kTXY:
      return "t x y";
    case HeaderlessLayout::kMulti:
      return "x y t particle";
    default:
      return "x y t";
  }
}

std::string field_count(std::size_t n) { return std::to_string(n) + (n == 1 ? " field" : " fields"); }

// The columns of a file without a header, from its layout; an error when the
// first line has too few fields for it.
std::variant<Columns, RecordTableError> headerless_columns(std::string_view text, const Line& first,
                                                           std::size_t fields, char separator,
                                                           const RecordTableOptions& options) {
  HeaderlessLayout layout = options.layout;
  Columns c;
  if (layout == HeaderlessLayout::kGuess) {
    if (fields == 4) {
      layout = HeaderlessLayout::kMulti;
    } else if (fields == 3) {
      layout = guess_three_columns(text, separator);
    } else {
      return RecordTableError{"line " + std::to_string(first.number) + ": " + field_count(fields) +
                              " without a header; name the columns with --columns x,y,frame[,particle]"};
    }
    c.guess = std::string(" (no header: read as ") + layout_name(layout) + "; --format or --columns sets the layout)";
  }
  const std::size_t needed = layout == HeaderlessLayout::kMulti ? 4 : 3;
  if (fields < needed) {
    return RecordTableError{"line " + std::to_string(first.number) + ": " + field_count(fields) + ", " +
                            std::to_string(needed) + " needed for " + layout_name(layout)};
  }
  const bool txy = layout == HeaderlessLayout::kTXY;
  c.at[kX] = txy ? 1 : 0;
  c.at[kY] = txy ? 2 : 1;
  c.at[options.headerless_times ? kTime : kFrame] = txy ? 0 : 2;
  c.at[kParticle] = layout == HeaderlessLayout::kMulti ? 3 : -1;
  return c;
}

// The columns of a file with names (a header, or a header comment): those
// chosen, then those found by name.
std::optional<RecordTableError> name_columns(Columns& c, const std::vector<std::string>& names, long line) {
  auto none = [&](Role r) {
    return RecordTableError{"line " + std::to_string(line) + ": no column looks like " + kRoleNames[r] + "; name it with --" +
                            kRoleNames[r] + " (the columns are " + column_list(names) + ")"};
  };
  if (c.at[kX] < 0) c.at[kX] = guess_column(names, {"x", "x_um", "x (um)", "pos_x", "position_x", "position x"});
  if (c.at[kY] < 0) c.at[kY] = guess_column(names, {"y", "y_um", "y (um)", "pos_y", "position_y", "position y"});
  if (c.at[kZ] < 0) c.at[kZ] = guess_column(names, {"z", "z_um", "z (um)", "pos_z", "position_z", "position z"});
  if (c.at[kFrame] < 0 && c.at[kTime] < 0) {
    c.at[kFrame] = guess_column(names, {"frame", "frames", "frame_number", "step", "timestep", "slice"});
    if (c.at[kFrame] < 0) c.at[kTime] = guess_column(names, {"t", "time", "time_s", "time (s)"});
  }
  // Without y (and without z) the file is read as x alone.
  if (c.at[kX] < 0) return none(kX);
  if (c.at[kY] < 0 && c.at[kZ] >= 0) return none(kY);
  if (c.time_or_frame() < 0) {
    return RecordTableError{"line " + std::to_string(line) +
                            ": no column looks like a frame or a time; name it with --frame or --time (the columns are " +
                            column_list(names) + ")"};
  }
  return std::nullopt;
}

}  // namespace

std::string RecordTable::particle_text(std::size_t i) const {
  if (particle.empty()) return "0";
  const std::int64_t id = particle[i];
  return particle_names.empty() ? std::to_string(id) : particle_names[static_cast<std::size_t>(id)];
}

namespace {

// What the first content line says about the file: its separator, whether
// it (or a comment right above it) names the columns, and the names.
struct FirstLine {
  Line line;
  char separator = ' ';
  std::size_t fields = 0;
  bool header = false;
  bool comment_header = false;
  std::vector<std::string> names;

  bool named() const { return header || comment_header; }
};

char detected_separator(std::string_view line) {
  if (line.find(',') != std::string_view::npos) return ',';
  if (line.find(';') != std::string_view::npos) return ';';
  if (line.find('\t') != std::string_view::npos) return trim(line).find(' ') != std::string_view::npos ? ' ' : '\t';
  return ' ';
}

std::variant<FirstLine, RecordTableError> read_first_line(std::string_view text, const RecordTableOptions& options) {
  Lines lines(text);
  FirstLine first;
  if (!lines.next(first.line)) return RecordTableError{"there are no records"};
  first.separator = options.separator != 0 ? options.separator : detected_separator(first.line.text);
  std::vector<std::string_view> fields;
  split(first.line.text, first.separator, fields);
  first.fields = fields.size();
  const auto header_or_error = is_header(first.line, fields);
  if (const auto* error = std::get_if<RecordTableError>(&header_or_error)) return *error;
  first.header = std::get<bool>(header_or_error);
  for (std::size_t i = 0; i < fields.size(); ++i) {
    first.names.push_back(first.header ? std::string(trim(fields[i])) : std::to_string(i + 1));
  }
  // A comment just above headerless data that names as many columns, as in
  // "# t x y", is the header.
  if (!first.header && !lines.comment.empty()) {
    std::vector<std::string_view> labels;
    split(lines.comment, first.separator, labels);
    if (labels.size() != fields.size()) split(lines.comment, ' ', labels);
    const bool all_names = std::none_of(labels.begin(), labels.end(), [](std::string_view l) {
      return number(l).has_value() || trim(l).empty() || trim(l).size() > kLongestName;
    });
    if (labels.size() == fields.size() && all_names) {
      for (std::size_t i = 0; i < labels.size(); ++i) first.names[i] = std::string(trim(labels[i]));
      first.comment_header = true;
    }
  }
  return first;
}

// The columns of each role: those chosen, then those found by name, or the
// layout of a file without a header.
std::variant<Columns, RecordTableError> choose_columns(std::string_view text, const FirstLine& first,
                                                       const RecordTableOptions& options) {
  Columns c;
  const ColumnChoice& chosen = options.columns;
  const std::array<const std::string*, kRoles> wanted = {&chosen.x, &chosen.y, &chosen.frame, &chosen.particle,
                                                          &chosen.time, &chosen.z};
  if (!chosen.frame.empty() && !chosen.time.empty()) {
    return RecordTableError{"give a frame column or a time column, not both"};
  }
  const std::vector<std::string>& names = first.names;
  bool any_chosen = false;
  for (int r = 0; r < kRoles; ++r) {
    if (wanted[r]->empty()) continue;
    any_chosen = any_chosen || r == kX || r == kY || r == kFrame;
    const std::optional<int> at = find_column(*wanted[r], names);
    if (!at) {
      return RecordTableError{"line " + std::to_string(first.line.number) + ": there is no column '" + *wanted[r] +
                              "' for " + kRoleNames[r] +
                              (first.named()
                                   ? " (the columns are " + column_list(names) + ")"
                                   : " (the file has no header and " + field_count(names.size()) + "; use numbers)")};
    }
    c.at[r] = *at;
  }
  if (first.named()) {
    if (auto error = name_columns(c, names, first.line.number)) return *error;
    if (c.at[kParticle] < 0 && chosen.particle.empty()) {
      c.at[kParticle] = guess_column(names, {"particle", "track", "track_id", "trackid", "id", "trajectory", "traj",
                                              "trajnum", "particle_id", "track id"});
    }
  } else if (!any_chosen) {
    const int chosen_particle = c.at[kParticle], chosen_time = c.at[kTime], chosen_z = c.at[kZ];
    auto from_layout = headerless_columns(text, first.line, first.fields, first.separator, options);
    if (auto* error = std::get_if<RecordTableError>(&from_layout)) return *error;
    c = std::get<Columns>(from_layout);
    if (chosen_particle >= 0) c.at[kParticle] = chosen_particle;
    if (chosen_time >= 0) c.at[kTime] = chosen_time, c.at[kFrame] = -1;
    c.at[kZ] = chosen_z;
  } else if (c.at[kX] < 0 || c.at[kY] < 0 || c.time_or_frame() < 0) {
    return RecordTableError{"name all of x, y and frame or time (--columns x,y,frame[,particle])"};
  }
  for (int r = 0; r < kRoles; ++r) c.names[r] = c.at[r] >= 0 ? names[static_cast<std::size_t>(c.at[r])] : "";
  return c;
}

// One line on standard error: what was read.
std::string layout_text(const FirstLine& first, const Columns& c) {
  return std::string(separator_name(first.separator)) +
         (first.header           ? " with a header"
          : first.comment_header ? " with a header comment"
                                 : " without a header") +
         "; x = '" + c.names[kX] + "'" + (c.at[kY] >= 0 ? ", y = '" + c.names[kY] + "'" : ", no y") +
         (c.at[kZ] >= 0 ? ", z = '" + c.names[kZ] + "'" : "") + ", " + kRoleNames[c.time_role()] + " = '" +
         c.names[c.time_role()] + "'" +
         (c.at[kParticle] >= 0 ? ", particle = '" + c.names[kParticle] + "'" : ", one particle") + c.guess;
}

// The records' lines cut into pieces at line ends, one piece for a small
// text, several per thread for a large one; each piece's first line number
// and room (one record a line) in the table's columns.
struct Pieces {
  std::vector<std::size_t> cut;   // piece k is body[cut[k], cut[k + 1])
  std::vector<long> lines_before;  // the line number before piece k's first
  std::vector<std::size_t> room;  // piece k writes from row room[k]

  std::size_t count() const { return lines_before.size(); }
  std::string_view of(std::string_view body, std::size_t k) const { return body.substr(cut[k], cut[k + 1] - cut[k]); }
};

Pieces cut_into_pieces(std::string_view body, long lines_before) {
  const std::size_t count = body.size() > kParallelBytes ? 4 * static_cast<std::size_t>(std::max(1, omp_get_max_threads())) : 1;
  Pieces p;
  p.cut.assign(count + 1, body.size());
  p.cut[0] = 0;
  for (std::size_t k = 1; k < count; ++k) {
    const std::size_t at = std::max(p.cut[k - 1], body.size() * k / count);
    const std::size_t newline = body.find('\n', at);
    p.cut[k] = newline == std::string_view::npos ? body.size() : newline + 1;
  }
  std::vector<long> newlines(count, 0);
#pragma omp parallel for schedule(static, 1) if (count > 1)
  for (long k = 0; k < static_cast<long>(count); ++k) {
    const std::string_view piece = p.of(body, static_cast<std::size_t>(k));
    newlines[static_cast<std::size_t>(k)] = static_cast<long>(std::count(piece.begin(), piece.end(), '\n'));
  }
  p.lines_before.resize(count);
  p.room.assign(count + 1, 0);
  for (std::size_t k = 0; k < count; ++k) {
    p.lines_before[k] = lines_before;
    lines_before += newlines[k];
    p.room[k + 1] = p.room[k] + static_cast<std::size_t>(newlines[k]) + 1;
  }
  return p;
}

// Parses every piece into its room of the table's columns. Ids are read as
// numbers first; one that is not a whole number has every piece read again
// with ids as text (and c.text_ids set).
std::vector<RecordPiece> parse_pieces(std::string_view body, const Pieces& pieces, Columns& c, char separator,
                                      const RecordTableOptions& options, RecordTable& table) {
  const bool with_particle = c.at[kParticle] >= 0;
  const bool with_times = c.time_role() == kTime;
  const std::size_t rows = pieces.room.back();
  detail::assign_huge(table.x, rows, 0.0);
  if (c.at[kY] >= 0) detail::assign_huge(table.y, rows, 0.0);
  if (c.at[kZ] >= 0) detail::assign_huge(table.z, rows, 0.0);
  if (with_times) {
    detail::assign_huge(table.time, rows, 0.0);
  } else {
    detail::assign_huge(table.frame, rows, std::int64_t{0});
  }
  detail::assign_huge(table.line, rows, 0L);
  if (with_particle) detail::assign_huge(table.particle, rows, std::int64_t{0});
  const int needed = *std::max_element(c.at.begin(), c.at.end()) + 1;
  std::vector<RecordPiece> parsed;
  for (int attempt = 0; attempt < 2; ++attempt) {
    parsed.assign(pieces.count(), RecordPiece{});
#pragma omp parallel for schedule(dynamic, 1) if (pieces.count() > 1)
    for (long k = 0; k < static_cast<long>(pieces.count()); ++k) {
      const auto i = static_cast<std::size_t>(k);
      const std::size_t at = pieces.room[i];
      RecordPiece& piece = parsed[i];
      piece.x = table.x.data() + at;
      piece.y = table.y.empty() ? nullptr : table.y.data() + at;
      piece.z = table.z.empty() ? nullptr : table.z.data() + at;
      piece.frame = with_times ? nullptr : table.frame.data() + at;
      piece.time = with_times ? table.time.data() + at : nullptr;
      piece.line = table.line.data() + at;
      piece.particle = with_particle ? table.particle.data() + at : nullptr;
      parse_records(pieces.of(body, i), pieces.lines_before[i], c, separator, needed, options, piece);
    }
    const bool text_ids =
        std::any_of(parsed.begin(), parsed.end(), [](const RecordPiece& piece) { return piece.saw_text_id; });
    if (!text_ids) break;
    c.text_ids = true;
  }
  return parsed;
}

// Moves the pieces' records together in line order, text ids becoming codes
// in order of first appearance; the first piece's error, if any.
std::optional<RecordTableError> join_pieces(std::vector<RecordPiece>& parsed, const Pieces& pieces, bool text_ids,
                                            RecordTable& table) {
  const bool with_particle = !table.particle.empty();
  std::unordered_map<std::string_view, std::int64_t> global_ids;
  std::size_t total = 0;
  for (std::size_t i = 0; i < parsed.size(); ++i) {
    RecordPiece& piece = parsed[i];
    if (piece.error) return piece.error;
    const std::size_t room = pieces.room[i];
    if (text_ids) {
      std::vector<std::int64_t> code(piece.id_names.size());
      for (std::size_t j = 0; j < piece.id_names.size(); ++j) {
        const auto [at, added] =
            global_ids.try_emplace(piece.id_names[j], static_cast<std::int64_t>(table.particle_names.size()));
        if (added) table.particle_names.emplace_back(piece.id_names[j]);
        code[j] = at->second;
      }
      for (std::size_t r = 0; r < piece.count; ++r) {
        std::int64_t& id = table.particle[room + r];
        id = code[static_cast<std::size_t>(id)];
      }
    }
    auto move = [&](auto& column) {
      if (column.empty() || total == room) return;
      std::copy(column.begin() + static_cast<long>(room), column.begin() + static_cast<long>(room + piece.count),
                column.begin() + static_cast<long>(total));
    };
    move(table.x), move(table.y), move(table.z), move(table.line), move(table.time), move(table.frame);
    if (with_particle) move(table.particle);
    total += piece.count;
    table.missing += piece.missing;
    table.skipped += piece.skipped;
    for (const long l : piece.first_skipped) {
      if (table.first_skipped.size() < 5) table.first_skipped.push_back(l);
    }
  }
  for (auto* column : {&table.x, &table.y, &table.z, &table.time}) {
    if (!column->empty()) column->resize(total);
  }
  if (!table.frame.empty()) table.frame.resize(total);
  if (with_particle) table.particle.resize(total);
  table.line.resize(total);
  return std::nullopt;
}

}  // namespace

std::variant<RecordTable, RecordTableError> read_record_table(std::string_view text,
                                                              const RecordTableOptions& options) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  auto first_or_error = read_first_line(text, options);
  if (auto* error = std::get_if<RecordTableError>(&first_or_error)) return *error;
  const FirstLine& first = std::get<FirstLine>(first_or_error);
  auto columns_or_error = choose_columns(text, first, options);
  if (auto* error = std::get_if<RecordTableError>(&columns_or_error)) return *error;
  Columns& c = std::get<Columns>(columns_or_error);

  RecordTable table;
  table.time_column = c.names[c.time_role()];
  table.layout = layout_text(first, c);
  // The records' lines from here on are parsed in pieces on all threads and
  // joined in line order, so the result and any message are those of one pass.
  const Line& line = first.line;
  const std::size_t records_from = static_cast<std::size_t>(line.text.data() - text.data()) +
                                   (first.header ? line.text.size() + 1 : 0);
  const std::string_view body = records_from < text.size() ? text.substr(records_from) : std::string_view();
  const Pieces pieces = cut_into_pieces(body, first.header ? line.number : line.number - 1);
  std::vector<RecordPiece> parsed = parse_pieces(body, pieces, c, first.separator, options, table);
  if (auto error = join_pieces(parsed, pieces, c.text_ids, table)) return *error;
  if (table.x.empty()) return RecordTableError{"there are no records"};
  return table;
}

std::optional<std::string> load_input(const std::string& path, std::string& problem) {
  const int fd = path == "-" ? ::dup(STDIN_FILENO) : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    problem = std::strerror(errno);
    return std::nullopt;
  }
  // A regular file that is not gzip-compressed is read at its size in one go.
  struct stat info {};
  unsigned char magic[2] = {0, 0};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && ::pread(fd, magic, 2, 0) >= 0 &&
      !(magic[0] == 0x1f && magic[1] == 0x8b)) {
    // Huge pages, where granted, spare most page faults of a large text.
    std::string text;
    text.reserve(static_cast<std::size_t>(info.st_size));
    detail::advise_huge_pages(text.data(), static_cast<std::size_t>(info.st_size));
    text.resize(static_cast<std::size_t>(info.st_size));
    std::size_t filled = 0;
    while (filled < text.size()) {
      const ssize_t got = ::read(fd, text.data() + filled, text.size() - filled);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      filled += static_cast<std::size_t>(got);
    }
    if (filled != text.size()) problem = std::strerror(errno);
    ::close(fd);
    if (filled != text.size()) return std::nullopt;
    return text;
  }
  gzFile file = gzdopen(fd, "rb");
  if (file == nullptr) {
    problem = std::strerror(errno);
    ::close(fd);
    return std::nullopt;
  }
  gzbuffer(file, 1 << 17);
  std::string text;
  std::size_t filled = 0;
  text.resize(1 << 20);
  while (true) {
    if (filled == text.size()) text.resize(text.size() * 2);
    const int got = gzread(file, text.data() + filled,
                           static_cast<unsigned>(std::min<std::size_t>(text.size() - filled, 1u << 30)));
    if (got <= 0) break;
    filled += static_cast<std::size_t>(got);
  }
  // A stream cut short reads as far as it goes; zlib then reports it.
  int status = Z_OK;
  const char* reason = gzerror(file, &status);
  if (status == Z_ERRNO) problem = std::strerror(errno);
  if (status == Z_BUF_ERROR) problem = "its gzip data ends early (the file is cut short)";
  if (status != Z_OK && status != Z_ERRNO && status != Z_BUF_ERROR) {
    // zlib's reason starts with the stream's own name ("<fd:4>: ").
    const std::string_view said = reason != nullptr ? reason : "unreadable";
    const std::size_t colon = said.find(": ");
    problem = "its gzip data is damaged (" + std::string(colon == said.npos ? said : said.substr(colon + 2)) + ")";
  }
  gzclose(file);
  if (status != Z_OK) return std::nullopt;
  text.resize(filled);
  return text;
}

}  // namespace msdisf
