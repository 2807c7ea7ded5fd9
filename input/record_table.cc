#include "input/record_table.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <optional>

namespace msdisf {

namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  if (s.size() >= 2 && (s.front() == '"' || s.front() == '\'') && s.back() == s.front()) s = s.substr(1, s.size() - 2);
  return s;
}

void split(std::string_view line, char separator, std::vector<std::string_view>& fields) {
  fields.clear();
  if (separator == ' ') {
    std::size_t i = 0;
    while (i < line.size()) {
      while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
      if (i == line.size()) break;
      const std::size_t start = i;
      while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
      fields.push_back(line.substr(start, i - start));
    }
    return;
  }
  std::size_t start = 0;
  while (true) {
    const std::size_t end = line.find(separator, start);
    fields.push_back(trim(line.substr(start, end == std::string_view::npos ? end : end - start)));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }

}

std::optional<double> number(std::string_view token) {
  token = trim(token);
  if (!token.empty() && token.front() == '+') token.remove_prefix(1);
  double value = 0.0;
  const auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), value);
  if (token.empty() || error != std::errc() || end != token.data() + token.size()) return std::nullopt;
  return value;
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
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
  explicit Lines(std::string_view text) : text_(text) {}
  /// The last comment before the line `next` returned, without its '#'.
  std::string_view comment;

  bool next(Line& line) {
    while (at_ < text_.size()) {
      const std::size_t end = std::min(text_.find('\n', at_), text_.size());
      const std::string_view raw = text_.substr(at_, end - at_);
      at_ = end + 1;
      ++number_;
      const std::string_view content = trim(raw);
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
  long number_ = 0;
};

// The chosen columns, by index into a line's fields (-1: none).
struct Columns {
  int x = -1, y = -1, frame = -1, particle = -1;
  std::array<std::string, 4> names;
  bool headerless_ceiling = false;
};

constexpr std::array<const char*, 4> kRoles = {"x", "y", "frame", "particle"};

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

}  // namespace

std::variant<RecordTable, RecordTableError> read_record_table(std::string_view text,
                                                              const RecordTableOptions& options) {
  Lines lines(text);
  Line first{};
  if (!lines.next(first)) return RecordTableError{"there are no records"};
  char separator = options.separator;
  if (separator == 0) {
    separator = first.text.find(',') != std::string_view::npos   ? ','
                : first.text.find(';') != std::string_view::npos ? ';'
                : first.text.find('\t') != std::string_view::npos && trim(first.text).find(' ') != std::string_view::npos
                    ? ' '
                : first.text.find('\t') != std::string_view::npos ? '\t'
                                                                   : ' ';
  }
  std::vector<std::string_view> fields;
  split(first.text, separator, fields);
  bool header = false;
  for (const auto field : fields) header = header || (!number(field) && !trim(field).empty());
  std::vector<std::string> names;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    names.push_back(header ? std::string(trim(fields[i])) : std::to_string(i + 1));
  }
  // A comment just above headerless data that names as many columns, as in
  // "# t x y", is the header.
  bool comment_header = false;
  if (!header && !lines.comment.empty()) {
    std::vector<std::string_view> labels;
    split(lines.comment, separator, labels);
    if (labels.size() != fields.size()) split(lines.comment, ' ', labels);
    const bool all_names = std::none_of(labels.begin(), labels.end(), [](std::string_view l) { return number(l).has_value(); });
    if (labels.size() == fields.size() && all_names) {
      for (std::size_t i = 0; i < labels.size(); ++i) names[i] = std::string(trim(labels[i]));
      comment_header = true;
    }
  }
  const bool named = header || comment_header;

  Columns c;
  const ColumnChoice& chosen = options.columns;
  const std::array<const std::string*, 4> wanted = {&chosen.x, &chosen.y, &chosen.frame, &chosen.particle};
  std::array<int*, 4> slots = {&c.x, &c.y, &c.frame, &c.particle};
  for (int r = 0; r < 4; ++r) {
    if (wanted[r]->empty()) continue;
    const std::optional<int> at = find_column(*wanted[r], names);
    if (!at) {
      return RecordTableError{"line " + std::to_string(first.number) + ": there is no column '" + *wanted[r] +
                              "' for " + kRoles[r] + (named ? "" : " (the file has no header; use numbers)")};
    }
    *slots[r] = *at;
  }
  if (named) {
    if (c.x < 0) c.x = guess_column(names, {"x", "x_um", "x (um)", "pos_x", "position_x"});
    if (c.y < 0) c.y = guess_column(names, {"y", "y_um", "y (um)", "pos_y", "position_y"});
    if (c.frame < 0) c.frame = guess_column(names, {"frame", "frames", "t", "time", "frame_number"});
    if (c.particle < 0 && chosen.particle.empty()) {
      c.particle = guess_column(names, {"particle", "track", "track_id", "trackid", "id", "trajectory", "traj",
                                        "trajnum", "particle_id"});
    }
    for (int r = 0; r < 3; ++r) {
      if (*slots[r] < 0) {
        return RecordTableError{"line " + std::to_string(first.number) + ": no column looks like " + kRoles[r] +
                                "; name it with --" + kRoles[r]};
      }
    }
  } else if (c.x < 0 && c.y < 0 && c.frame < 0) {
    HeaderlessLayout layout = options.layout;
    if (layout == HeaderlessLayout::kGuess) {
      if (fields.size() == 4) {
        layout = HeaderlessLayout::kMulti;
      } else if (fields.size() == 3) {
        // t x y when, over the first records, only the first field is always
        // a whole number.
        bool first_whole = true, third_whole = true;
        Lines ahead(text);
        Line probe{};
        std::vector<std::string_view> values;
        for (int n = 0; n < 50 && ahead.next(probe); ++n) {
          split(probe.text, separator, values);
          if (values.size() != 3) continue;
          first_whole = first_whole && whole(number(values[0]).value_or(0.5));
          third_whole = third_whole && whole(number(values[2]).value_or(0.5));
        }
        layout = first_whole && !third_whole ? HeaderlessLayout::kTXY : HeaderlessLayout::kXYT;
      } else {
        return RecordTableError{"line " + std::to_string(first.number) + ": " + std::to_string(fields.size()) +
                                " fields without a header; name the columns with --columns x,y,frame[,particle]"};
      }
    }
    const bool txy = layout == HeaderlessLayout::kTXY;
    c.x = txy ? 1 : 0;
    c.y = txy ? 2 : 1;
    c.frame = txy ? 0 : 2;
    c.particle = layout == HeaderlessLayout::kMulti ? 3 : -1;
    c.headerless_ceiling = options.dt <= 0.0;
  } else if (c.x < 0 || c.y < 0 || c.frame < 0) {
    return RecordTableError{"name all of x, y and frame (--columns x,y,frame[,particle])"};
  }

  RecordTable table;
  for (int r = 0; r < 4; ++r) c.names[static_cast<std::size_t>(r)] = *slots[r] >= 0 ? names[static_cast<std::size_t>(*slots[r])] : "";
  table.layout = std::string(separator_name(separator)) +
                 (header ? " with a header" : comment_header ? " with a header comment" : " without a header") +
                 "; x = '" + c.names[0] + "', y = '" + c.names[1] + "', " + (options.dt > 0 ? "time" : "frame") +
                 " = '" + c.names[2] + "'" + (c.particle >= 0 ? ", particle = '" + c.names[3] + "'" : ", one particle") +
                 (c.headerless_ceiling ? " (fractional frames count as their ceiling)" : "");
  const int needed = std::max({c.x, c.y, c.frame, c.particle}) + 1;

  // One record a line at the most.
  const auto lines_at_most = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n') + 1);
  for (auto* column : {&table.x, &table.y}) column->reserve(lines_at_most);
  table.frame.reserve(lines_at_most);
  table.line.reserve(lines_at_most);
  if (c.particle >= 0) table.particle.reserve(lines_at_most);

  Line line = first;
  bool have = !header;
  if (header) have = lines.next(line);
  for (; have; have = lines.next(line)) {
    split(line.text, separator, fields);
    auto fail = [&](const std::string& what) -> std::optional<RecordTableError> {
      const std::string message = "line " + std::to_string(line.number) + what;
      if (!options.skip_bad_lines) return RecordTableError{message};
      ++table.skipped;
      if (table.first_skipped.size() < 5) table.first_skipped.push_back(line.number);
      return std::nullopt;
    };
    auto token = [&](int column) { return trim(fields[static_cast<std::size_t>(column)]); };
    auto column_text = [&](int role) { return ", column '" + c.names[static_cast<std::size_t>(role)] + "': '"; };
    if (static_cast<int>(fields.size()) < needed) {
      if (auto e = fail(": " + std::to_string(fields.size()) + " fields, " + std::to_string(needed) + " needed")) return *e;
      continue;
    }
    double position[2] = {NAN, NAN};
    bool bad = false;
    for (int r = 0; r < 2 && !bad; ++r) {
      const std::string_view t = token(r == 0 ? c.x : c.y);
      if (t.empty()) continue;
      const std::optional<double> v = number(t);
      if (!v || std::isinf(*v)) {
        if (auto e = fail(column_text(r) + std::string(t) + "' is not a " + (v ? "finite number" : "number"))) return *e;
        bad = true;
      } else {
        position[r] = *v;
      }
    }
    if (bad) continue;
    const std::string_view ft = token(c.frame);
    const std::optional<double> f = number(ft);
    if (!f || !std::isfinite(*f)) {
      if (auto e = fail(column_text(2) + std::string(ft) + "' is not a number")) return *e;
      continue;
    }
    double frame = *f;
    if (options.dt > 0.0) {
      const double steps = *f / options.dt;
      frame = std::nearbyint(steps);
      if (std::fabs(steps - frame) > 0.01) {
        if (auto e = fail(column_text(2) + std::string(ft) + "' lies " +
                          std::to_string(static_cast<int>(std::lround(std::fabs(steps - frame) * 100))) +
                          " % of dt off the grid of dt = " + std::to_string(options.dt))) {
          return *e;
        }
        continue;
      }
    } else if (c.headerless_ceiling) {
      frame = std::ceil(*f);
    } else if (!whole(*f)) {
      if (auto e = fail(column_text(2) + std::string(ft) + "' is not a whole frame number (times need --dt or --fps)")) {
        return *e;
      }
      continue;
    }
    if (std::fabs(frame) > 4.0e18) {
      if (auto e = fail(column_text(2) + std::string(ft) + "' is too large a frame")) return *e;
      continue;
    }
    std::int64_t id = 0;
    if (c.particle >= 0) {
      const std::string_view pt = token(c.particle);
      const std::optional<double> p = number(pt);
      if (!p || !whole(*p) || std::fabs(*p) > 4.0e18) {
        if (auto e = fail(column_text(3) + std::string(pt) + "' is not a whole-numbered particle id")) return *e;
        continue;
      }
      id = static_cast<std::int64_t>(*p);
      table.particle.push_back(id);
    }
    table.x.push_back(position[0]);
    table.y.push_back(position[1]);
    table.frame.push_back(static_cast<std::int64_t>(frame));
    table.line.push_back(line.number);
  }
  if (table.x.empty()) return RecordTableError{"there are no records"};
  return table;
}

std::optional<std::string> load_input(const std::string& path) {
  const int fd = path == "-" ? ::dup(STDIN_FILENO) : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  // A regular file that is not gzip-compressed is read at its size in one go.
  struct stat info {};
  unsigned char magic[2] = {0, 0};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && ::pread(fd, magic, 2, 0) >= 0 &&
      !(magic[0] == 0x1f && magic[1] == 0x8b)) {
    std::string text(static_cast<std::size_t>(info.st_size), '\0');
    std::size_t filled = 0;
    while (filled < text.size()) {
      const ssize_t got = ::read(fd, text.data() + filled, text.size() - filled);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      filled += static_cast<std::size_t>(got);
    }
    ::close(fd);
    if (filled != text.size()) return std::nullopt;
    return text;
  }
  gzFile file = gzdopen(fd, "rb");
  if (file == nullptr) {
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
    if (got < 0) {
      gzclose(file);
      return std::nullopt;
    }
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  gzclose(file);
  text.resize(filled);
  return text;
}

}  // namespace msdisf
