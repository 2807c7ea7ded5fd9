#include "job_table/input/trajectory_readers.h"

#include <climits>
#include <cmath>
#include <limits>
#include <optional>

#include "job_table/input/number_scanner.h"
#include "job_table/input/text_file.h"

namespace msdisf {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::optional<std::string> open_or_report(const std::string& path, Console& console) {
  std::optional<std::string> text = load_text_file(path);
  if (!text) console.err << "Error opening file: " << path << std::endl;
  return text;
}

bool fits_int(double frame) { return frame >= INT_MIN && frame <= INT_MAX; }

// The stop messages name the file, the record (counted from 1) and the limit.
void report_frame_range(Console& console, const std::string& path, long record, double frame) {
  console.err << path << ": record " << record << ": frame " << formatted("%.17g", frame)
              << " lies outside the frame range " << INT_MIN << " to " << INT_MAX << "; reading stops here"
              << std::endl;
}

void report_capacity(Console& console, const std::string& path, long record, long capacity) {
  console.err << path << ": record " << record << ": its frame would need more than the " << capacity
              << " entries the arrays hold; reading stops here" << std::endl;
}

void store_record(AnalysisState& state, long entry) {
  state.T[entry] = static_cast<int>(state.t);
  state.X[entry] = state.x;
  state.Y[entry] = state.y;
}

void store_gap_marker(AnalysisState& state, long entry) {
  // Wrapping add: a gap after frame INT_MAX gets a frame number that nothing
  // reads, rather than an overflow.
  state.T[entry] = static_cast<int>(static_cast<unsigned>(state.T[entry - 1]) + 1u);
  state.X[entry] = kNaN;
  state.Y[entry] = kNaN;
}

bool extract(NumberScanner& scanner, double& a, double& b, double& c) {
  return scanner.next(a) && scanner.next(b) && scanner.next(c);
}

}  // namespace

bool read_simulation_data(AnalysisState& state, const std::string& path, Console& console) {
  const std::optional<std::string> text = open_or_report(path, console);
  if (!text) return false;
  // The simulation ranks write t x y, the others x y t.
  const RecordLayout layout = state.RANK >= 4 && state.RANK <= 8 ? RecordLayout::kTXY : RecordLayout::kXYT;
  read_simulation_text(state, *text, path, console, layout);
  return true;
}

bool read_experimental_data(AnalysisState& state, const std::string& path, Console& console) {
  const std::optional<std::string> text = open_or_report(path, console);
  if (!text) return false;
  read_experimental_text(state, *text, path, console);
  return true;
}

void read_simulation_text(AnalysisState& state, std::string_view text, const std::string& path, Console& console,
                          RecordLayout layout) {
  state.N = static_cast<int>(count_lines(text));
  console.out << formatted("so the file has %i lines\n", state.N) << std::flush;

  NumberScanner scanner(text.data(), text.data() + text.size());
  const bool txy = layout == RecordLayout::kTXY;
  long d = 0;
  long record = 0;
  bool warn_if_short = true;
  while (true) {
    const bool extracted =
        txy ? extract(scanner, state.t, state.x, state.y) : extract(scanner, state.x, state.y, state.t);
    if (!extracted) break;
    ++record;
    if (txy && d >= READ_LIMIT) break;
    if (!txy && d >= state.N) {
      warn_if_short = false;  // more records than lines: the rest is dropped silently
      break;
    }
    state.t = std::ceil(state.t);
    if (!fits_int(state.t)) {
      report_frame_range(console, path, record, state.t);
      break;
    }
    if (d == 0) {
      if (state.capacity < 1) {
        report_capacity(console, path, record, state.capacity);
        break;
      }
      store_record(state, 0);
      d = 1;
      continue;
    }
    const double previous = state.T[d - 1];
    if (state.t <= previous) {
      console.err << path << ": record " << record << ": frame " << static_cast<int>(state.t)
                  << " does not follow frame " << static_cast<int>(previous) << "; reading stops here" << std::endl;
      break;
    }
    // The record and the markers for the frames it skips must all fit.
    const double needed = state.t - previous;
    if (static_cast<double>(d) + needed > static_cast<double>(state.capacity)) {
      report_capacity(console, path, record, state.capacity);
      break;
    }
    while (state.t - state.T[d - 1] != 1.0) {
      store_gap_marker(state, d);
      ++state.N;
      ++d;
    }
    store_record(state, d);
    ++d;
  }
  if (warn_if_short && d < state.N) {
    console.err << "Warning: Only " << d << " lines read, expected " << state.N << " lines." << std::endl;
  }
  // N counts exactly the entries stored: entries past d hold no record and must
  // not reach the estimators, and in the t x y layout (which has no stop at the
  // line count) a line holding two records stores more entries than lines.
  state.N = static_cast<int>(d);
}

void read_experimental_text(AnalysisState& state, std::string_view text, const std::string& path, Console& console) {
  state.N = static_cast<int>(count_lines(text) - 1);
  console.out << formatted("so the file has %i lines\n", state.N) << std::flush;
  console.out << "test" << std::endl;

  NumberScanner scanner(text.data(), text.data() + text.size());
  long d = 0;
  long record = 0;
  while (extract(scanner, state.x, state.y, state.t) && scanner.next(state.trajnum)) {
    ++record;
    state.t = std::ceil(state.t);
    if (!fits_int(state.t)) {
      report_frame_range(console, path, record, state.t);
      break;
    }
    const bool follows = d > 0 && state.t - state.T[d - 1] == 1.0;
    const long needed = d == 0 || follows ? 1 : 2;
    if (d + needed > state.capacity) {
      report_capacity(console, path, record, state.capacity);
      break;
    }
    if (needed == 2) {
      store_gap_marker(state, d);
      state.TRAJNUMS.set(d, state.TRAJNUMS[d - 1]);
      ++state.N;
      ++d;
    }
    store_record(state, d);
    state.TRAJNUMS.set(d, state.trajnum);
    ++d;
  }
  if (d < state.N) {
    console.err << d << " states read for all tajectories" << std::endl;
  }
  state.N = static_cast<int>(d);
}

}  // namespace msdisf
