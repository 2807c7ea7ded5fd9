#include "tests/fuzz/fuzz_checks.h"

#include <bit>
#include <cmath>
#include <sstream>
#include <string_view>

#include "job_table/driver/result_path.h"
#include "engine/analysis.h"
#include "engine/time_grid.h"
#include "io/record_table.h"
#include "job_table/input/number_scanner.h"
#include "job_table/input/trajectory_readers.h"

namespace msdisf::fuzz {

namespace {

std::string at(long i, const char* what) { return "entry " + std::to_string(i) + ": " + what; }

bool untouched(const AnalysisState& state, long i) {
  return std::bit_cast<std::uint64_t>(state.X[i]) == 0 && std::bit_cast<std::uint64_t>(state.Y[i]) == 0 &&
         state.T[i] == 0 && state.TRAJNUMS[i] == -1.0;
}

// N within the capacity and every entry from N on as the start-up left it.
std::string data_bounds_violation(const AnalysisState& state) {
  if (state.N < 0 || state.N > state.capacity) return "N = " + std::to_string(state.N) + " outside the capacity";
  for (long i = state.N; i < state.capacity; ++i) {
    if (!untouched(state, i)) return at(i, "written past N");
  }
  return {};
}

std::string_view payload(const std::uint8_t* data, std::size_t size, std::size_t skip) {
  return size <= skip ? std::string_view() : std::string_view(reinterpret_cast<const char*>(data) + skip, size - skip);
}

}  // namespace

std::string check_number_scanner(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::istringstream stream(text);
  NumberScanner scanner(text.data(), text.data() + text.size());
  for (int token = 0;; ++token) {
    double expected = 0.0;
    double actual = 0.0;
    const bool stream_ok = static_cast<bool>(stream >> expected);
    const bool scanner_ok = scanner.next(actual);
    if (stream_ok != scanner_ok) return "token " + std::to_string(token) + ": success differs from the stream";
    if (!stream_ok) return {};
    if (std::bit_cast<std::uint64_t>(expected) != std::bit_cast<std::uint64_t>(actual)) {
      return "token " + std::to_string(token) + ": value differs from the stream";
    }
    const long stream_at = stream.eof() ? static_cast<long>(text.size()) : static_cast<long>(stream.tellg());
    if (stream_at != scanner.position() - text.data()) return "token " + std::to_string(token) + ": ends elsewhere";
  }
}

std::string single_reader_violation(const AnalysisState& state) {
  if (std::string problem = data_bounds_violation(state); !problem.empty()) return problem;
  for (long i = 0; i < state.N; ++i) {
    if (std::isnan(state.X[i]) != std::isnan(state.Y[i])) return at(i, "NaN in only one coordinate");
    if (state.TRAJNUMS[i] != -1.0) return at(i, "trajectory number written");
    if (i > 0 && static_cast<long>(state.T[i]) != static_cast<long>(state.T[i - 1]) + 1) {
      return at(i, "frame does not follow the previous entry");
    }
  }
  if (state.N > 0 && std::isnan(state.X[state.N - 1])) return at(state.N - 1, "ends on a gap marker");
  return {};
}

std::string multi_reader_violation(const AnalysisState& state) {
  if (std::string problem = data_bounds_violation(state); !problem.empty()) return problem;
  for (long i = 0; i < state.N; ++i) {
    if (std::isnan(state.X[i]) != std::isnan(state.Y[i])) return at(i, "NaN in only one coordinate");
    if (!std::isnan(state.X[i])) continue;
    if (i == 0 || std::isnan(state.X[i - 1])) return at(i, "gap marker without a record before it");
    if (i == state.N - 1) return at(i, "gap marker without a record after it");
    if (std::bit_cast<std::uint64_t>(state.TRAJNUMS[i]) != std::bit_cast<std::uint64_t>(state.TRAJNUMS[i - 1])) {
      return at(i, "gap marker with another trajectory number");
    }
    if (static_cast<unsigned>(state.T[i]) != static_cast<unsigned>(state.T[i - 1]) + 1u) {
      return at(i, "gap marker frame is not the previous frame + 1");
    }
  }
  return {};
}

std::string check_single_reader(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return {};
  AnalysisState state(1 + data[1] % 64);
  std::ostringstream out, err;
  Console console{out, err};
  read_simulation_text(state, payload(data, size, 2), "fuzz.dat", console,
                       data[0] % 2 == 0 ? RecordLayout::kXYT : RecordLayout::kTXY);
  return single_reader_violation(state);
}

std::string check_multi_reader(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return {};
  AnalysisState state(1 + data[0] % 64);
  std::ostringstream out, err;
  Console console{out, err};
  read_experimental_text(state, payload(data, size, 1), "fuzz.dat", console);
  return multi_reader_violation(state);
}

std::string check_record_table(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return {};
  RecordTableOptions options;
  const char separators[] = {0, ' ', ',', '\t'};
  options.separator = separators[data[0] % 4];
  options.headerless_times = (data[0] & 4) != 0;
  options.skip_bad_lines = (data[0] & 8) != 0;
  const HeaderlessLayout layouts[] = {HeaderlessLayout::kGuess, HeaderlessLayout::kXYT, HeaderlessLayout::kTXY,
                                      HeaderlessLayout::kMulti};
  options.layout = layouts[(data[0] >> 4) % 4];
  const auto read = read_record_table(payload(data, size, 1), options);
  const auto* table = std::get_if<RecordTable>(&read);
  if (table == nullptr) return std::get<RecordTableError>(read).message.empty() ? "an error without a message" : "";
  const std::size_t n = table->x.size();
  // y is empty in one dimension, z unless there are three.
  const bool axes_fit = (table->y.size() == n || (table->y.empty() && table->z.empty())) &&
                        (table->z.empty() || table->z.size() == n);
  if (!axes_fit || table->line.size() != n || (table->has_times() ? table->time : table->x).size() != n ||
      (!table->has_times() && table->frame.size() != n) || (!table->particle.empty() && table->particle.size() != n)) {
    return "columns of different lengths";
  }
  for (std::size_t i = 0; i < n; ++i) {
    const bool infinite = std::isinf(table->x[i]) || (!table->y.empty() && std::isinf(table->y[i])) ||
                          (!table->z.empty() && std::isinf(table->z[i]));
    if (infinite) return "an infinite position was accepted";
    if (i > 0 && table->line[i] <= table->line[i - 1]) return "lines do not increase";
    if (!table->particle_names.empty() && static_cast<std::size_t>(table->particle[i]) >= table->particle_names.size()) {
      return "a text id without its name";
    }
  }
  try {
    std::vector<std::int64_t> frames = table->frame;
    if (table->has_times()) frames = frames_from_times(table->time, (data[0] & 64) != 0 ? 0.25 : 0.0).frame;
    AnalysisOptions engine;
    engine.lags = LagRequest::log_spaced(8);
    engine.wave_numbers = {0.5};
    engine.threads = 1;
    const AnalysisResult result = analyse({table->x, table->y, frames, table->particle, table->z}, engine);
    if (result.rows() > 8) return "more rows than lags asked for";
  } catch (const AnalysisError& error) {
    if (std::string(error.what()).empty()) return "an engine error without a message";
  }
  return {};
}

std::string check_result_path(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return {};
  const int rank = static_cast<int>(data[0] % 16) - 2;
  const std::string input(payload(data, size, 1));
  const std::string result = modify_filepath(input, rank);
  if (rank >= 4 && rank <= 8) {
    const std::string fixed =
        std::string(PROJECT_ROOT) + "data/Simulation_data/msd_isf_" + std::to_string(rank - 3) + ".dat";
    return result == fixed ? std::string() : "simulation rank without its fixed name";
  }
  const std::size_t slash = input.rfind('/');
  const std::string directory = slash == std::string::npos ? "" : input.substr(0, slash + 1);
  if (result.compare(0, directory.size(), directory) != 0) return "result not beside the input";
  const std::string name = result.substr(directory.size());
  if (name.rfind("msd_isf_", 0) != 0 || name.size() < 12 || name.compare(name.size() - 4, 4, ".dat") != 0) {
    return "result name not msd_isf_<stem>.dat";
  }
  const std::string stem = name.substr(8, name.size() - 12);
  const std::string base = input.substr(directory.size());
  if (base.compare(0, stem.size(), stem) != 0) return "stem is not a prefix of the file name";
  if (stem.size() != base.size() && base.rfind('.') != stem.size()) return "stem does not end at the last dot";
  return {};
}

}  // namespace msdisf::fuzz
