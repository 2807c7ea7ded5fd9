#include "driver/cli.h"

#include <fcntl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <optional>
#include <string>

#include "driver/progress_bar.h"
#include "driver/result_path.h"
#include "estimators/per_trajectory_estimator.h"
#include "estimators/single_trajectory_estimators.h"
#include "input/capacity.h"
#include "input/text_file.h"
#include "input/trajectory_readers.h"
#include "output/result_table.h"

#ifndef MSDISF_VERSION
#error "MSDISF_VERSION must name the release"
#endif

namespace msdisf {

namespace {

// Entries (records and gap markers) at the most; a file that would need more
// is read up to this many, with the reader's message.
constexpr long kMaxEntries = 50'000'000;

struct Request {
  std::string input;
  std::string output;
  std::string format;
  std::string estimator;
  std::string method = "fast";
  long max_lag = 0;
  int threads = 0;
  bool quiet = false;
};

constexpr const char* kFooter = R"(Formats: xyt and txy hold one trajectory (three numbers per line), multi holds
several ("x y t trajnum" per line). Estimators: window averages over origins
from the second entry on (as the job table's single-trajectory jobs),
all-origins over every origin, per-trajectory pools the pairs inside each
trajectory (as the job table's multi-trajectory jobs).

Example:
  msdisf --max-lag 500 -o beads_msd.dat beads.txt
    reads beads.txt (format guessed from its first line), computes lags 1 to 500
    and writes the table to beads_msd.dat.)";

// The layout named on the command line, or guessed from the first record;
// `guess` receives the note that says so.
std::optional<RecordLayout> choose_layout(const Request& request, const std::string& text, std::string& guess,
                                          Console& console) {
  if (request.format == "xyt") return RecordLayout::kXYT;
  if (request.format == "txy") return RecordLayout::kTXY;
  if (request.format == "multi") return RecordLayout::kMulti;
  const int fields = first_record_fields(text);
  if (fields == 3 || fields == 4) {
    guess = "msdisf: " + request.input + ": the first record has " + std::to_string(fields) +
            " fields, reading it as " + (fields == 3 ? "x y t" : "x y t trajnum") + " (choose with --format)";
    return fields == 3 ? RecordLayout::kXYT : RecordLayout::kMulti;
  }
  console.err << "msdisf: " << request.input << ": cannot tell the format, the first record has " << fields
              << " fields; give --format xyt, txy or multi" << std::endl;
  return std::nullopt;
}

// Checked before the computation, so that a long run does not end in an
// unwritable path.
bool output_writable(const std::string& output) {
  const std::string probe = output + ".tmp." + std::to_string(::getpid());
  const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  ::close(fd);
  ::unlink(probe.c_str());
  return true;
}

int analyse(const Request& request, Console& console, bool progress_terminal) {
  const std::optional<std::string> text = load_text_file(request.input);
  if (!text) {
    console.err << "Error opening file: " << request.input << std::endl;
    return 1;
  }
  std::string guess;
  const std::optional<RecordLayout> layout = choose_layout(request, *text, guess, console);
  if (!layout) return 2;
  const bool multi = *layout == RecordLayout::kMulti;
  const std::string estimator = request.estimator.empty() ? (multi ? "per-trajectory" : "window") : request.estimator;
  if (multi != (estimator == "per-trajectory")) {
    console.err << "msdisf: the " << estimator << " estimator needs "
                << (multi ? "one trajectory (format xyt or txy)" : "several trajectories (format multi)") << std::endl;
    return 2;
  }
  const std::string output = request.output.empty() ? modify_filepath(request.input, -1) : request.output;
  if (!output_writable(output)) {
    console.err << "Failed to open the file " << output << std::endl;
    return 1;
  }
  if (!guess.empty() && !request.quiet) console.err << guess << std::endl;

  AnalysisState state(std::clamp(entries_bound(*text, *layout), 1L, kMaxEntries));
  state.RANK = *layout == RecordLayout::kTXY ? 4 : multi ? 0 : 2;
  std::ostream silent(nullptr);
  std::optional<ProgressBar> bar;
  if (progress_terminal && !request.quiet) bar.emplace(console.err);
  // Messages on the bar's terminal erase the bar first; it is redrawn after them.
  LineStartHook hook(console.out.rdbuf(), [&bar] { bar->clear(); });
  std::ostream above_bar(&hook);
  Console run{request.quiet ? silent : bar ? above_bar : console.out, console.err};
  if (multi) {
    read_experimental_text(state, *text, request.input, run);
  } else {
    read_simulation_text(state, *text, request.input, run);
  }

  EstimatorOptions options;
  options.method = request.method == "exact" ? Method::kExact : Method::kFast;
  options.threads = request.threads;
  options.max_lag = request.max_lag;
  options.store_counts = true;
  if (bar) options.progress = [&bar](double fraction) { bar->update(fraction); };
  if (estimator == "window") {
    calculate_isf_and_msd(state, output, run, options);
  } else if (estimator == "all-origins") {
    calculate_isf_and_msd_fixedlag(state, output, run, options);
  } else {
    calculate_isf_and_msd_distincttrajs(state, output, run, options);
  }
  if (bar) bar->finish();
  if (!print_data(state, output, console, request.max_lag > 0 ? request.max_lag : -1)) return 1;
  run.out << "Wrote " << output << std::endl;
  return 0;
}

}  // namespace

int run_cli(int argc, const char* const* argv, Console& console, bool progress_terminal) {
  Request request;
  CLI::App app{
      "msdisf: mean squared displacement, displacement moments and intermediate scattering functions\n"
      "of 2D particle trajectories, for every time lag.",
      "msdisf"};
  app.add_option("INPUT", request.input, "Trajectory file")->required();
  app.add_option("--format", request.format, "xyt, txy or multi (default: guessed from the first record)")
      ->check(CLI::IsMember({"xyt", "txy", "multi"}));
  app.add_option("-o,--output", request.output, "Result table (default: msd_isf_<stem>.dat beside the input)");
  app.add_option("--estimator", request.estimator,
                 "window, all-origins or per-trajectory (default: window, per-trajectory for multi)")
      ->check(CLI::IsMember({"window", "all-origins", "per-trajectory"}));
  app.add_option("--max-lag", request.max_lag, "Compute and write lags 1 to L only")->check(CLI::PositiveNumber);
  app.add_option("--method", request.method, "fast (default) or exact (the plain pairwise arithmetic)")
      ->check(CLI::IsMember({"exact", "fast"}));
  app.add_option("--threads", request.threads, "Threads to use (default: every processor)")
      ->check(CLI::NonNegativeNumber);
  app.add_flag("-q,--quiet", request.quiet, "Print nothing but problems");
  app.set_version_flag("--version", std::string("msdisf ") + MSDISF_VERSION);
  app.footer(kFooter);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    console.out << app.help();
    return 0;
  } catch (const CLI::CallForVersion&) {
    console.out << "msdisf " << MSDISF_VERSION << std::endl;
    return 0;
  } catch (const CLI::ParseError& error) {
    console.err << "msdisf: " << error.what() << " (see msdisf --help)" << std::endl;
    return 2;
  }
  return analyse(request, console, progress_terminal);
}

}  // namespace msdisf
