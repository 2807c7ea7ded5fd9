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
/// to guess (x; y; frame, t, time; particle, track, id, trajectory, ...).
struct ColumnChoice {
  std::string x, y, frame, particle;
};

/// The layouts of files without a header, as the job table reads them.
enum class HeaderlessLayout { kGuess, kXYT, kTXY, kMulti };

struct RecordTableOptions {
  /// 0: detected from the first line (comma, then semicolon, then tab, else
  /// runs of white space); ' ' for runs of white space.
  char separator = 0;
  ColumnChoice columns = {};
  HeaderlessLayout layout = HeaderlessLayout::kGuess;
  /// Time per frame: the frame column holds times, each turned into the
  /// nearest frame; one more than 1 % of dt off the grid is an error.
  double dt = 0.0;
  /// Keep reading past unusable lines, counting them.
  bool skip_bad_lines = false;
};

struct RecordTable {
  std::vector<double> x, y;
  std::vector<std::int64_t> frame, particle;  // particle empty: one particle
  std::vector<long> line;                     // the line each record came from
  std::string layout;                         // what was read, for one line on standard error
  long skipped = 0;                           // lines skipped with skip_bad_lines
  std::vector<long> first_skipped;            // the first few of them
};

/// A line that cannot be used, or a file that cannot be read as a table.
struct RecordTableError {
  std::string message;  // "line 17, column 'x': 'abc' is not a number" (no file name)
};

/// Reads every record. Without a header, three fields are x y t and four
/// x y t trajnum (t x y when the first field is the only whole-numbered
/// one, or by `layout`), with fractional t counted as its ceiling, as the
/// job table reads them; with a header, frames must be whole numbers unless
/// dt is given. x or y of nan or an empty field marks a missing position.
std::variant<RecordTable, RecordTableError> read_record_table(std::string_view text,
                                                              const RecordTableOptions& options);

/// The whole content of `path` ("-" for standard input), gzip-compressed or
/// not; nullopt when it cannot be read.
std::optional<std::string> load_input(const std::string& path);

}  // namespace msdisf
