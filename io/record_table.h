// Trajectory records from delimited text as people have it: tracker CSV
// exports with a header, simulation dumps without one, comments, blank
// lines, any separator, frames or times, rows in any order.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace msdisf {

/// Which columns hold what: a header name or a 1-based column number; empty
/// to guess (x; y; z; frame, step; t, time; particle, track, id, trajectory,
/// ...). A frame column holds whole frame numbers, a time column times; give
/// at most one of them. A z column makes three dimensions.
struct ColumnChoice {
  std::string x, y, frame, particle, time, z;
};

/// The layouts of files without a header, as the job table reads them.
enum class HeaderlessLayout { kGuess, kXYT, kTXY, kMulti };

struct RecordTableOptions {
  /// 0: detected from the first line (comma, then semicolon, then tab, else
  /// runs of white space); ' ' for runs of white space.
  char separator = 0;
  ColumnChoice columns = {};
  HeaderlessLayout layout = HeaderlessLayout::kGuess;
  /// The t column of a file without a header holds times (a time step was
  /// given), rather than frame numbers.
  bool headerless_times = false;
  /// Keep reading past unusable lines, counting them.
  bool skip_bad_lines = false;
};

struct RecordTable {
  std::vector<double> x;
  std::vector<double> y;            // empty: one dimension (a file with names and no y column)
  std::vector<double> z;            // empty unless there is a z column
  std::vector<std::int64_t> frame;  // empty when the table holds times
  std::vector<double> time;         // the time column's values; empty when it holds frames
  /// Empty: one particle. Otherwise the id of each record: the number itself
  /// when every id is a whole number, else an index into particle_names.
  std::vector<std::int64_t> particle;
  std::vector<std::string> particle_names;
  std::vector<long> line;           // the line each record came from
  std::string layout;               // what was read, for one line on standard error
  std::string time_column;          // the name of the frame or time column
  long missing = 0;                 // records whose x, y or z is missing (empty, NA, nan, ...)
  long skipped = 0;                 // lines skipped with skip_bad_lines
  std::vector<long> first_skipped;  // the first few of them

  bool has_times() const { return frame.empty() && !time.empty(); }
  /// The user's text of record i's particle id.
  std::string particle_text(std::size_t i) const;
};

/// A line that cannot be used, or a file that cannot be read as a table.
struct RecordTableError {
  std::string message;  // "line 17, column 'x': 'abc' is not a number" (no file name)
};

/// Reads every record. A byte-order mark is skipped. A first line with a
/// field that is not a number is the header; so is a comment right above
/// headerless data that names as many columns ("# t x y"). Without either,
/// three fields are x y t and four x y t trajnum (t x y when the first field
/// looks like the time, or by `layout`). Frame columns must hold whole
/// numbers; time columns (named t or time, chosen as `time`, or a headerless
/// t with `headerless_times`) are returned as read, in `time`. A file with
/// names but no y column (none chosen, no z) is read as x alone. x, y or z
/// that is empty, NA, N/A, nan, null or None marks a missing position
/// (counted in `missing`). Particle ids are numbers when all are whole numbers, else text.
std::variant<RecordTable, RecordTableError> read_record_table(std::string_view text,
                                                              const RecordTableOptions& options);

/// The whole content of `path` ("-" for standard input), gzip-compressed or
/// not; nullopt when it cannot be read, with `problem` saying why (the
/// system's reason, or that the gzip data ends early or is corrupt).
std::optional<std::string> load_input(const std::string& path, std::string& problem);

}  // namespace msdisf
