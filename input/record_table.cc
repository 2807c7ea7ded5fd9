#include "input/record_table.h"

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
  explicit Lines(std::string_view text, long lines_before = 0) : text_(text), number_(lines_before) {}
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
  long number_;
};

// The chosen columns, by index into a line's fields (-1: none).
struct Columns {
  int x = -1, y = -1, frame = -1, particle = -1;
  std::array<std::string, 4> names;
  bool headerless_ceiling = false;
};

constexpr std::array<const char*, 4> kRoles = {"x", "y", "frame", "particle"};

// Texts longer than this are parsed in pieces on every thread.
constexpr std::size_t kParallelBytes = std::size_t{1} << 22;

// Where one piece of the text puts its records (room for one a line), and
// what else it found: how many records, skipped lines, its first unusable line.
struct RecordPiece {
  double* x = nullptr;
  double* y = nullptr;
  std::int64_t* frame = nullptr;
  std::int64_t* particle = nullptr;  // null: one particle
  long* line = nullptr;
  std::size_t count = 0;
  long skipped = 0;
  std::vector<long> first_skipped;
  std::optional<RecordTableError> error;
};

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
      if (auto e = fail(": " + std::to_string(fields.size()) + " fields, " + std::to_string(needed) + " needed")) {
        table.error = *e;
        return;
      }
      continue;
    }
    double position[2] = {NAN, NAN};
    bool bad = false;
    for (int r = 0; r < 2 && !bad; ++r) {
      const std::string_view t = token(r == 0 ? c.x : c.y);
      if (t.empty()) continue;
      const std::optional<double> v = number(t);
      if (!v || std::isinf(*v)) {
        if (auto e = fail(column_text(r) + std::string(t) + "' is not a " + (v ? "finite number" : "number"))) {
          table.error = *e;
          return;
        }
        bad = true;
      } else {
        position[r] = *v;
      }
    }
    if (bad) continue;
    const std::string_view ft = token(c.frame);
    const std::optional<double> f = number(ft);
    if (!f || !std::isfinite(*f)) {
      if (auto e = fail(column_text(2) + std::string(ft) + "' is not a number")) {
        table.error = *e;
        return;
      }
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
          {
            table.error = *e;
            return;
          }
        }
        continue;
      }
    } else if (c.headerless_ceiling) {
      frame = std::ceil(*f);
    } else if (!whole(*f)) {
      if (auto e =
              fail(column_text(2) + std::string(ft) + "' is not a whole frame number (times need --dt or --fps)")) {
        {
          table.error = *e;
          return;
        }
      }
      continue;
    }
    if (std::fabs(frame) > 4.0e18) {
      if (auto e = fail(column_text(2) + std::string(ft) + "' is too large a frame")) {
        table.error = *e;
        return;
      }
      continue;
    }
    std::int64_t id = 0;
    if (c.particle >= 0) {
      const std::string_view pt = token(c.particle);
      const std::optional<double> p = number(pt);
      if (!p || !whole(*p) || std::fabs(*p) > 4.0e18) {
        if (auto e = fail(column_text(3) + std::string(pt) + "' is not a whole-numbered particle id")) {
          table.error = *e;
          return;
        }
        continue;
      }
      id = static_cast<std::int64_t>(*p);
      table.particle[table.count] = id;
    }
    table.x[table.count] = position[0];
    table.y[table.count] = position[1];
    table.frame[table.count] = static_cast<std::int64_t>(frame);
    table.line[table.count] = line.number;
    ++table.count;
  }
}

}  // namespace

std::variant<RecordTable, RecordTableError> read_record_table(std::string_view text,
                                                              const RecordTableOptions& options) {
  Lines lines(text);
  Line first{};
  if (!lines.next(first)) return RecordTableError{"there are no records"};
  char separator = options.separator;
  if (separator == 0) {
    separator =
        first.text.find(',') != std::string_view::npos                                                            ? ','
        : first.text.find(';') != std::string_view::npos                                                          ? ';'
        : first.text.find('\t') != std::string_view::npos && trim(first.text).find(' ') != std::string_view::npos ? ' '
        : first.text.find('\t') != std::string_view::npos                                                         ? '\t'
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
    const bool all_names =
        std::none_of(labels.begin(), labels.end(), [](std::string_view l) { return number(l).has_value(); });
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
      c.particle = guess_column(
          names, {"particle", "track", "track_id", "trackid", "id", "trajectory", "traj", "trajnum", "particle_id"});
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
  for (int r = 0; r < 4; ++r)
    c.names[static_cast<std::size_t>(r)] = *slots[r] >= 0 ? names[static_cast<std::size_t>(*slots[r])] : "";
  table.layout = std::string(separator_name(separator)) +
                 (header           ? " with a header"
                  : comment_header ? " with a header comment"
                                   : " without a header") +
                 "; x = '" + c.names[0] + "', y = '" + c.names[1] + "', " + (options.dt > 0 ? "time" : "frame") +
                 " = '" + c.names[2] + "'" +
                 (c.particle >= 0 ? ", particle = '" + c.names[3] + "'" : ", one particle") +
                 (c.headerless_ceiling ? " (fractional frames count as their ceiling)" : "");
  const int needed = std::max({c.x, c.y, c.frame, c.particle}) + 1;

  // The records' lines from here on are parsed in pieces on all threads;
  // each piece's records, skips and first error are joined in line order, so
  // the result and any message are those of one pass.
  const std::size_t records_from =
      header ? static_cast<std::size_t>(first.text.data() - text.data()) + first.text.size() + 1
             : static_cast<std::size_t>(first.text.data() - text.data());
  const long lines_before = header ? first.number : first.number - 1;
  const std::string_view body = records_from < text.size() ? text.substr(records_from) : std::string_view();
  const long pieces = body.size() > kParallelBytes ? 4L * std::max(1, omp_get_max_threads()) : 1L;
  std::vector<std::size_t> cut(static_cast<std::size_t>(pieces) + 1, body.size());
  cut[0] = 0;
  for (long k = 1; k < pieces; ++k) {
    const std::size_t at = std::max(cut[static_cast<std::size_t>(k) - 1],
                                    body.size() * static_cast<std::size_t>(k) / static_cast<std::size_t>(pieces));
    const std::size_t newline = body.find('\n', at);
    cut[static_cast<std::size_t>(k)] = newline == std::string_view::npos ? body.size() : newline + 1;
  }
  std::vector<long> newlines(static_cast<std::size_t>(pieces), 0);
#pragma omp parallel for schedule(static, 1) if (pieces > 1)
  for (long k = 0; k < pieces; ++k) {
    const auto i = static_cast<std::size_t>(k);
    const std::string_view piece = body.substr(cut[i], cut[i + 1] - cut[i]);
    newlines[i] = static_cast<long>(std::count(piece.begin(), piece.end(), '\n'));
  }
  // Each piece writes from its own offset (room for one record a line), and
  // the pieces' records are then moved together in order.
  std::vector<long> first_line(static_cast<std::size_t>(pieces));
  std::vector<std::size_t> room(static_cast<std::size_t>(pieces) + 1, 0);
  long before = lines_before;
  for (long k = 0; k < pieces; ++k) {
    const auto i = static_cast<std::size_t>(k);
    first_line[i] = before;
    before += newlines[i];
    room[i + 1] = room[i] + static_cast<std::size_t>(newlines[i]) + 1;
  }
  const bool with_particle = c.particle >= 0;
  detail::assign_huge(table.x, room.back(), 0.0);
  detail::assign_huge(table.y, room.back(), 0.0);
  detail::assign_huge(table.frame, room.back(), std::int64_t{0});
  detail::assign_huge(table.line, room.back(), 0L);
  if (with_particle) detail::assign_huge(table.particle, room.back(), std::int64_t{0});
  std::vector<RecordPiece> parsed(static_cast<std::size_t>(pieces));
#pragma omp parallel for schedule(dynamic, 1) if (pieces > 1)
  for (long k = 0; k < pieces; ++k) {
    const auto i = static_cast<std::size_t>(k);
    RecordPiece& piece = parsed[i];
    piece.x = table.x.data() + room[i];
    piece.y = table.y.data() + room[i];
    piece.frame = table.frame.data() + room[i];
    piece.line = table.line.data() + room[i];
    piece.particle = with_particle ? table.particle.data() + room[i] : nullptr;
    parse_records(body.substr(cut[i], cut[i + 1] - cut[i]), first_line[i], c, separator, needed, options, piece);
  }
  std::size_t total = 0;
  for (std::size_t i = 0; i < parsed.size(); ++i) {
    const RecordPiece& piece = parsed[i];
    if (piece.error) return *piece.error;
    auto move = [&](auto& column) {
      std::copy(column.begin() + static_cast<long>(room[i]), column.begin() + static_cast<long>(room[i] + piece.count),
                column.begin() + static_cast<long>(total));
    };
    if (total != room[i]) {
      move(table.x), move(table.y), move(table.frame), move(table.line);
      if (with_particle) move(table.particle);
    }
    total += piece.count;
    table.skipped += piece.skipped;
    for (const long l : piece.first_skipped) {
      if (table.first_skipped.size() < 5) table.first_skipped.push_back(l);
    }
  }
  table.x.resize(total);
  table.y.resize(total);
  table.frame.resize(total);
  table.line.resize(total);
  if (with_particle) table.particle.resize(total);
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
