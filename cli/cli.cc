#include "cli/cli.h"

#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <numeric>
#include <span>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <variant>

#include "cli/fit_command.h"
#include "cli/merge_command.h"
#include "cli/position_corrections.h"
#include "cli/progress_bar.h"
#include "job_table/driver/result_path.h"
#include "engine/analysis.h"
#include "engine/option_text.h"
#include "engine/sums.h"
#include "engine/time_grid.h"
#include "job_table/estimators/per_trajectory_estimator.h"
#include "job_table/estimators/single_trajectory_estimators.h"
#include "job_table/input/capacity.h"
#include "io/record_table.h"
#include "job_table/input/trajectory_readers.h"
#include "io/analysis_table.h"
#include "job_table/output/result_table.h"
#include "io/safe_output.h"
#include "io/sums_file.h"

#ifndef MSDISF_VERSION
#error "MSDISF_VERSION must name the release"
#endif

namespace msdisf {

namespace {

enum Status { kDone = 0, kCannotReadOrWrite = 1, kCommandLine = 2, kInputContent = 3 };
// Done, with nothing to write (sums of a shard that holds no particle).
constexpr int kNothingWritten = -1;

// Entries (records and gap markers) at the most for the job table's readers.
constexpr long kMaxJobTableEntries = 50'000'000;

struct Request {
  std::vector<std::string> inputs;
  std::string inputs_from;
  std::string output;
  std::string output_dir;
  std::string columns, x, y, z, frame, particle, time;
  std::string separator = "auto";
  double dt = 0.0;
  double fps = 0.0;
  double mpp = 0.0;
  bool skip_bad_lines = false;
  std::string lags = "all";
  long max_lag = 0;
  std::string q, scales;
  std::string estimator;
  std::string method = "fast";
  std::string quantities;
  bool errors = false;
  int threads = 0;
  std::string output_format = "tsv";
  bool no_metadata = false;
  std::string format;
  bool job_table_output = false;
  bool sums = false;
  bool per_particle = false;
  std::string box;
  bool subtract_drift = false;
  std::string drift_output;
  std::string shard;
  bool id_prefix_from_file = false;
  bool quiet = false;
  std::string command_line;
};

// Everything worked out from the command line before any file is read.
struct Plan {
  RecordTableOptions table;
  AnalysisOptions analysis;
  AnalysisTableFormat output;
  double dt = 0.0;   // time per frame, 0 when not given
  double mpp = 0.0;  // length per pixel, 0 when not given
  PositionCorrections corrections;
  long shard_index = 0, shard_count = 0;  // --shard i/n; count 0 when not given
};

constexpr const char* kFooter = R"(Input: delimited text (white space, comma, tab or semicolon; detected), gzip or
not, '-' for standard input. A header row (or a comment right above the data
naming its columns, as "# t x y") names the columns: x, y, particle (or track,
track_id, id, trajectory) and either a frame column (frame, step) or a time
column (t, time) are found by name, or chosen with --x/--y/--particle and
--frame or --time, or --columns x,y,frame[,particle] (names or numbers).
A z column (found by name, or --z) makes three dimensions; a file with no y
column and no --y is analysed along x alone (said on standard error).
Particle ids may be numbers or any text.

Frames and times: a frame column holds whole frame numbers; --dt (or --fps)
then only adds a time column (lag times dt). A time column holds times: --dt
turns each into the nearest frame (off the grid by over 1 % of dt is an
error); without --dt, dt is the most common time step (said on standard
error). Frames sampled every k steps are analysed on that grid (lags k, 2k,
...). --mpp F multiplies positions (x, y and z) by F (length per pixel); q
and --scales are in that length unit.

Without a header, 3 columns are x y t and 4 are x y t particle (t x y when the
first column looks like the time; --format says it outright); t holds frame
numbers, or times when --dt/--fps is given. Lines starting with # are skipped;
an empty, NA or nan x, y or z is a missing position (counted and said once).
Rows may come in any order; a repeated (particle, frame) is an error.

Output: one line per lag: lag, [time,] pairs, msd, msd_x, msd_y, [msd_z,]
mean_dx, mean_dy, [mean_dz,] msd_centered, alpha2, and fs[q] for each wave
number q given with --q or --scales (no factor 2 pi; --scales s gives
q = 1/s). --quantities job-table gives the job table's columns instead: msd,
mqd, ngp, skewness, md, mcd and isf_x[q], isf_y[q], isf_r[q] with their _im
parts for each q (default: 15 standard scales; isf_z[q] with z, and r along
the sum of the axes). With --errors (two dimensions): msd_se, msd_x_se,
msd_y_se, ngp_se, alpha2_se, isf_*_se[q] and fs_se[q], each when its column
is asked for, and se_groups.
Written once, at the end, to <stem>.msdisf.tsv beside the input; to standard
output for '-' or any input that is not a regular file (a pipe, /dev/stdin).
Two inputs that would write the same table are refused before reading: give
--output-dir, or -o per run.

Lags: log:K picks K lags up to each file's own longest span, so the tables of
files of different lengths differ; log:K:L gives the same lags for every file.

--box Lx,Ly[,Lz] unwraps positions of a periodic box along each particle;
--subtract-drift subtracts the ensemble drift (the mean step of the particles
in both frames, summed over the frames) from every position, after --mpp.

msdisf fit TABLE --lags A:B [--json] fits msd = 2 d D lag^alpha + offset (d
dimensions) over lags A to B of a table written with --errors.

Exit status: 0 done; 1 an input cannot be read or an output cannot be written;
2 an unusable command line; 3 an input whose content cannot be used (nothing
is written). With several inputs, the worst status. 128 + n: stopped by
signal n (temporary files are removed).

Examples:
  msdisf tracks.csv
  msdisf --fps 20 --mpp 0.16 tracks.csv      (frames at 20 per second, 0.16 um per pixel)
  msdisf --dt 0.01 --lags log:200 --scales 0.5,1,2 simulation.txt.gz
  msdisf --output-dir results/ --lags log:100:5000 run*.csv
  msdisf --errors --lags log:100 tracks.csv && msdisf fit tracks.msdisf.tsv --lags 1:10)";

std::string shortest(double v) {
  char text[32];
  const auto [end, error] = std::to_chars(text, text + sizeof text, v);
  return error == std::errc() ? std::string(text, end) : std::to_string(v);
}

std::variant<Plan, std::string> plan_from(const Request& r) {
  Plan plan;
  const std::map<std::string, char> separators = {
      {"auto", 0}, {"whitespace", ' '}, {"comma", ','}, {"tab", '\t'}, {"semicolon", ';'}};
  plan.table.separator = separators.at(r.separator);
  plan.table.columns = {r.x, r.y, r.frame, r.particle, r.time, r.z};
  if (!r.columns.empty()) {
    std::vector<std::string> names;
    std::stringstream in(r.columns);
    std::string item;
    while (std::getline(in, item, ',')) names.push_back(item);
    if (names.size() < 3 || names.size() > 4) return "--columns takes x,y,frame or x,y,frame,particle";
    if (!r.x.empty() || !r.y.empty() || !r.frame.empty() || !r.time.empty()) {
      return "give --columns or --x/--y/--frame/--time, not both";
    }
    plan.table.columns = {names[0], names[1], names[2], names.size() == 4 ? names[3] : r.particle, "", r.z};
  }
  if (r.format == "xyt") plan.table.layout = HeaderlessLayout::kXYT;
  if (r.format == "txy") plan.table.layout = HeaderlessLayout::kTXY;
  if (r.format == "multi") plan.table.layout = HeaderlessLayout::kMulti;
  if (r.dt > 0.0 && r.fps > 0.0) return "give --dt or --fps, not both";
  if (!r.frame.empty() && !r.time.empty()) return "give --frame or --time, not both";
  plan.dt = r.dt > 0.0 ? r.dt : r.fps > 0.0 ? 1.0 / r.fps : 0.0;
  plan.mpp = r.mpp;
  plan.table.headerless_times = plan.dt > 0.0;
  plan.table.skip_bad_lines = r.skip_bad_lines;

  if (r.max_lag > 0 && r.lags != "all") return "give --lags or --max-lag, not both";
  const std::optional<LagRequest> lags = r.max_lag > 0 ? LagRequest::up_to(r.max_lag) : lags_from_text(r.lags);
  if (!lags) return std::string("--lags takes ") + kLagTexts + "; not '" + r.lags + "'";
  plan.analysis.lags = *lags;
  if (!r.q.empty() && !r.scales.empty()) return "give --q or --scales, not both";
  if (!r.q.empty()) {
    const auto q = number_list(r.q);
    if (!q) return "--q takes a list of numbers such as 0.5,1,2; not '" + r.q + "'";
    plan.analysis.wave_numbers = *q;
  }
  if (!r.scales.empty()) {
    const auto s = number_list(r.scales);
    if (!s || std::count(s->begin(), s->end(), 0.0) > 0) {
      return "--scales takes a list of non-zero lengths such as 0.5,1,2; not '" + r.scales + "'";
    }
    for (const double v : *s) plan.analysis.wave_numbers.push_back(1.0 / v);
  }
  for (const double q : plan.analysis.wave_numbers) {
    if (!std::isfinite(q)) return (r.q.empty() ? "--scales '" + r.scales : "--q '" + r.q) + "' gives a wave number that is not finite";
  }
  const auto pairs = pair_rule_from_text(r.estimator.empty() ? "all-pairs" : r.estimator);
  if (!pairs) return std::string("--estimator takes ") + kPairRuleTexts + "; not '" + r.estimator + "'";
  plan.analysis.pairs = *pairs;
  const auto method = method_from_text(r.method);
  if (!method) return std::string("--method takes ") + kMethodTexts + "; not '" + r.method + "'";
  plan.analysis.method = *method;
  if (!r.quantities.empty()) {
    const auto q = quantities_from_text(r.quantities);
    if (!q) return std::string("--quantities takes a list of ") + kQuantityTexts + "; not '" + r.quantities + "'";
    plan.analysis.quantities = *q;
  } else if (!r.job_table_output) {
    plan.analysis.quantities = default_quantities(!plan.analysis.wave_numbers.empty());
  }
  plan.analysis.errors = r.errors;
  if (const auto problem = options_problem(plan.analysis)) return "--errors: " + *problem;
  if (r.errors && r.job_table_output) return "--errors does not go with --job-table-output";
  if (r.sums && r.job_table_output) return "--sums does not go with --job-table-output";
  if (r.per_particle && (r.errors || r.sums || r.job_table_output)) {
    return "--per-particle does not go with --errors, --sums or --job-table-output";
  }
  plan.analysis.per_particle = r.per_particle;
  if (!r.box.empty()) {
    const auto box = box_from_text(r.box);
    if (!box) return "--box takes one positive length per axis, such as 50,50 or 20,20,40; not '" + r.box + "'";
    plan.corrections.box = *box;
  }
  plan.corrections.subtract_drift = r.subtract_drift;
  if (!r.drift_output.empty() && !r.subtract_drift) return "--drift-output needs --subtract-drift";
  if (!r.drift_output.empty() && r.inputs.size() > 1) return "--drift-output names one file; give one input";
  if (plan.corrections.any() && r.job_table_output) return "--box and --subtract-drift do not go with --job-table-output";
  if (!r.shard.empty()) {
    const auto slash = r.shard.find('/');
    long index = -1, count = 0;
    const char* text = r.shard.c_str();
    const bool read = slash != std::string::npos &&
                      std::from_chars(text, text + slash, index).ptr == text + slash &&
                      std::from_chars(text + slash + 1, text + r.shard.size(), count).ptr == text + r.shard.size();
    if (!read || slash == 0 || count < 1 || index < 0 || index >= count) {
      return "--shard takes i/n with 0 <= i < n, such as 3/100; not '" + r.shard + "'";
    }
    if (r.job_table_output) return "--shard does not go with --job-table-output";
    plan.shard_index = index;
    plan.shard_count = count;
  }
  if (r.id_prefix_from_file && r.job_table_output) return "--id-prefix-from-file does not go with --job-table-output";
  plan.analysis.threads = r.threads;
  plan.output.separator = r.output_format == "csv" ? ',' : '\t';
  return plan;
}

std::string stem_of(const std::string& input) {
  std::filesystem::path name = std::filesystem::path(input).filename();
  if (name.extension() == ".gz") name = name.stem();
  return name.stem().string();
}

bool regular_file(const std::string& path) {
  struct stat info {};
  return path != "-" && ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// An input whose table has no place beside it: standard input, a pipe, a
// device, or anything under /dev or /proc (such as /dev/stdin redirected
// from a file).
bool streamed(const std::string& input) {
  if (!regular_file(input)) return true;
  std::error_code ignored;
  const std::string place = std::filesystem::absolute(input, ignored).lexically_normal().string();
  return place.rfind("/dev/", 0) == 0 || place.rfind("/proc/", 0) == 0;
}

std::string output_for(const Request& r, const std::string& input) {
  if (!r.output.empty()) return r.output;
  const std::string extension = r.job_table_output        ? ".dat"
                                : r.sums                  ? ".msdisf.sums"
                                : r.output_format == "csv" ? ".msdisf.csv"
                                                           : ".msdisf.tsv";
  const std::string name = (r.job_table_output ? "msd_isf_" : "") + stem_of(input) + extension;
  if (!r.output_dir.empty()) return (std::filesystem::path(r.output_dir) / name).string();
  if (streamed(input)) return "-";
  if (r.job_table_output) return modify_filepath(input, -1);
  return (std::filesystem::path(input).parent_path() / name).string();
}

// The same file for two outputs, as far as can be told before writing: the
// same path once made absolute and normal, or the same existing file.
bool same_output(const std::string& a, const std::string& b) {
  std::error_code ignored;
  if (std::filesystem::weakly_canonical(a, ignored) == std::filesystem::weakly_canonical(b, ignored)) return true;
  return std::filesystem::equivalent(a, b, ignored);
}

// One line per problem with the inputs' outputs, found before any is read.
std::optional<std::string> output_clash(const Request& r) {
  std::vector<std::string> outputs;
  for (const std::string& input : r.inputs) outputs.push_back(output_for(r, input));
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    if (outputs[i] == "-" && r.inputs.size() > 1 && r.output != "-") {
      return r.inputs[i] + " is not a regular file, so its table has no place beside it; give --output-dir";
    }
    for (std::size_t j = 0; j < i && outputs[i] != "-"; ++j) {
      if (same_output(outputs[i], outputs[j])) {
        return r.inputs[j] + " and " + r.inputs[i] + " would both write " + outputs[i] +
               "; analyse them with different --output-dir or -o";
      }
    }
  }
  return std::nullopt;
}

// "lags 1 to 31", "lags 2, 4, 8", "lags 1, 2, 3, ... 1000".
std::string lag_summary(const std::vector<long>& lags) {
  if (lags.empty()) return "no lags";
  bool consecutive = true;
  for (std::size_t i = 1; i < lags.size(); ++i) consecutive = consecutive && lags[i] == lags[i - 1] + 1;
  if (consecutive && lags.size() > 2) return "lags " + std::to_string(lags.front()) + " to " + std::to_string(lags.back());
  std::string text = lags.size() == 1 ? "lag " : "lags ";
  for (std::size_t i = 0; i < lags.size() && i < 6; ++i) text += (i ? ", " : "") + std::to_string(lags[i]);
  if (lags.size() > 6) text += ", ... " + std::to_string(lags.back());
  return text;
}

// The smallest frame differences between consecutive records of one particle.
std::string frame_differences(std::span<const std::int64_t> frame, std::span<const std::int64_t> particle) {
  std::vector<std::size_t> order(frame.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  auto id = [&](std::size_t i) { return particle.empty() ? std::int64_t{0} : particle[i]; };
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return id(a) != id(b) ? id(a) < id(b) : frame[a] < frame[b];
  });
  std::vector<std::int64_t> steps;
  for (std::size_t k = 1; k < order.size(); ++k) {
    if (id(order[k]) == id(order[k - 1])) steps.push_back(frame[order[k]] - frame[order[k - 1]]);
  }
  std::sort(steps.begin(), steps.end());
  steps.erase(std::unique(steps.begin(), steps.end()), steps.end());
  if (steps.empty()) return "no particle has two records";
  std::string text = "the frame differences between neighbouring records are ";
  for (std::size_t i = 0; i < steps.size() && i < 5; ++i) text += (i ? ", " : "") + std::to_string(steps[i]);
  return text + (steps.size() > 5 ? ", ..." : "");
}

// Says which input rows an engine error is about, by their lines and the
// user's own particle ids and frames or times.
std::string with_lines(const AnalysisError& error, const RecordTable& table) {
  auto line = [&table](long record) { return std::to_string(table.line[static_cast<std::size_t>(record)]); };
  if (error.record >= 0 && error.other_record >= 0) {
    const auto i = static_cast<std::size_t>(error.record);
    std::ostringstream when;
    when.precision(17);
    if (table.has_times()) {
      when << "time " << table.time[i];
    } else {
      when << "frame " << table.frame[i];
    }
    return "lines " + line(error.record) + " and " + line(error.other_record) + " both hold particle " +
           (table.particle.empty() ? "(the only one)" : "'" + table.particle_text(i) + "'") + " at " + when.str();
  }
  if (error.record >= 0) {
    std::string text = error.what();
    const std::string prefix = "record " + std::to_string(error.record) + ": ";
    if (text.rfind(prefix, 0) == 0) text = text.substr(prefix.size());
    return "line " + line(error.record) + ": " + text;
  }
  return error.what();
}

// The records' views for the engine: one, two or three dimensions as the
// table has y and z.
TrajectoryData records_of(const RecordTable& table) {
  return {table.x, table.y, table.frame, table.particle, table.z};
}

// The coordinates of the table's records, as messages name them.
std::string coordinates_of(const RecordTable& table) {
  return table.y.empty() ? "x" : table.z.empty() ? "x or y" : "x, y or z";
}

// --id-prefix-from-file: every particle id becomes "<input>:<id>", so that
// files reusing the same ids hold distinct particles. Whole-numbered ids
// become text; their order stays that of the numbers.
void prefix_ids(RecordTable& table, const std::string& input) {
  if (table.particle.empty()) return;  // one particle, keyed by the file already
  if (table.particle_names.empty()) {
    std::vector<std::int64_t> ids(table.particle);
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    for (std::int64_t& id : table.particle) id = std::lower_bound(ids.begin(), ids.end(), id) - ids.begin();
    for (const std::int64_t id : ids) table.particle_names.push_back(input + ":" + std::to_string(id));
  } else {
    for (std::string& name : table.particle_names) name = input + ":" + name;
  }
}

// --shard i/n: keeps the records of the particles whose key (particle_key
// of the id as text, as sums files record it) is i modulo n. A table of one
// particle is keyed by the input's name, as its sums are.
void keep_shard(RecordTable& table, const std::string& input, long index, long count) {
  auto mine = [&](const std::string& id) { return particle_key(id) % static_cast<std::uint64_t>(count) ==
                                                  static_cast<std::uint64_t>(index); };
  const std::size_t n = table.x.size();
  std::vector<char> keep(n, 1);
  if (table.particle.empty()) {
    if (!mine(input)) keep.assign(n, 0);
  } else {
    std::map<std::int64_t, char> known;
    for (std::size_t i = 0; i < n; ++i) {
      auto [at, added] = known.try_emplace(table.particle[i], 0);
      if (added) at->second = mine(table.particle_text(i)) ? 1 : 0;
      keep[i] = at->second;
    }
  }
  auto filter = [&keep](auto& values) {
    if (values.size() != keep.size()) return;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (keep[i]) values[kept++] = values[i];
    }
    values.resize(kept);
  };
  filter(table.x), filter(table.y), filter(table.z), filter(table.frame), filter(table.time);
  filter(table.particle), filter(table.line);
}

class Run {
 public:
  Run(const Request& request, const Plan& plan, Console& console, bool progress_terminal)
      : request_(request), plan_(plan), console_(console), progress_terminal_(progress_terminal) {}

  int one(const std::string& input, const std::vector<FileIdentity>& inputs) {
    const std::string output_path = output_for(request_, input);
    auto opened = SafeOutput::open(output_path, inputs);
    if (auto* problem = std::get_if<OutputProblem>(&opened)) return fail(problem->status, problem->message);
    SafeOutput& output = std::get<SafeOutput>(opened);
    std::optional<SafeOutput> drift;  // --drift-output, committed with the table
    if (!request_.drift_output.empty()) {
      if (request_.drift_output == "-" ? output_path == "-" : same_output(request_.drift_output, output_path)) {
        return fail(kCommandLine, "--drift-output " + request_.drift_output + " is the table's output too");
      }
      auto opened_drift = SafeOutput::open(request_.drift_output, inputs);
      if (auto* problem = std::get_if<OutputProblem>(&opened_drift)) return fail(problem->status, problem->message);
      drift.emplace(std::move(std::get<SafeOutput>(opened_drift)));
    }
    drift_output_ = drift ? &*drift : nullptr;
    std::string problem;
    std::optional<std::string> text = load_input(input, problem);
    if (!text) return fail(kCannotReadOrWrite, input + ": cannot be read: " + problem);
    const int status = request_.job_table_output ? job_table(input, *text, output) : analysis(input, *text, output);
    if (status == kNothingWritten) return kDone;
    if (status != kDone) return status;
    if (!output.commit()) return cannot_write(output);
    if (!request_.quiet && output_path != "-") say(input + ": wrote " + output_path);
    if (drift && !drift->commit()) return cannot_write(*drift);
    if (drift && !request_.quiet && request_.drift_output != "-") say(input + ": wrote " + request_.drift_output);
    return kDone;
  }

 private:
  int fail(int status, const std::string& message) {
    console_.err << "msdisf: " << message << std::endl;
    return status;
  }
  int cannot_write(const SafeOutput& output) {
    return fail(kCannotReadOrWrite, "cannot write " + output.path() + ": " + std::strerror(errno));
  }
  void say(const std::string& message) { console_.err << "msdisf: " << message << std::endl; }

  int analysis(const std::string& input, std::string& text, SafeOutput& output) {
    auto read = read_record_table(text, plan_.table);
    text = std::string();  // the records are all that is needed from here on
    if (auto* error = std::get_if<RecordTableError>(&read)) return fail(kInputContent, input + ": " + error->message);
    RecordTable& table = std::get<RecordTable>(read);
    if (!request_.quiet) say(input + ": " + table.layout);
    report_lines_left_out(input, table);
    double dt = plan_.dt;
    if (table.has_times()) {
      try {
        TimeGrid grid = frames_from_times(table.time, plan_.dt);
        if (grid.inferred && !request_.quiet) {
          say(input + ": dt = " + shortest(grid.dt) + ", the most common step of '" + table.time_column +
              "' (give --dt to set it)");
        }
        dt = grid.dt;
        table.frame = std::move(grid.frame);
      } catch (const AnalysisError& error) {
        if (error.record < 0) return fail(kInputContent, input + ": column '" + table.time_column + "': " + error.what());
        return fail(kInputContent, input + ": line " + std::to_string(table.line[static_cast<std::size_t>(error.record)]) +
                                       ", column '" + table.time_column + "': " + error.what());
      }
    }
    if (plan_.mpp > 0.0) {
      for (auto* axis : {&table.x, &table.y, &table.z}) {
        for (double& v : *axis) v *= plan_.mpp;
      }
    }
    if (table.y.empty() && !request_.quiet) {
      say(input + ": no y column: one dimension, along x alone, is analysed (name y with --y for two)");
    }
    if (plan_.corrections.any()) {
      const CorrectionOutcome corrected = correct_positions(table, plan_.corrections);
      if (corrected.problem) {
        return fail(corrected.options_problem ? kCommandLine : kInputContent, input + ": " + *corrected.problem);
      }
      for (const std::string& note : corrected.notes) say(input + ": " + note);
      if (drift_output_ && !drift_output_->write(corrected.drift_csv)) return cannot_write(*drift_output_);
    }
    if (request_.id_prefix_from_file) prefix_ids(table, input);
    if (plan_.shard_count > 0) {
      keep_shard(table, input, plan_.shard_index, plan_.shard_count);
      if (!request_.quiet) say(input + ": shard " + request_.shard + " holds " + std::to_string(table.x.size()) + " records");
      if (table.x.empty() && request_.sums) {
        if (!request_.quiet) say(input + ": no particle falls in shard " + request_.shard + "; no sums written");
        return kNothingWritten;
      }
    }
    if (request_.sums) return sums(input, table, dt, output);
    AnalysisOptions options = plan_.analysis;
    std::optional<ProgressBar> bar;
    if (progress_terminal_ && !request_.quiet) {
      bar.emplace(console_.err, std::chrono::milliseconds(1000));
      options.progress = [&bar](double f) { bar->update(f); };
    }
    AnalysisResult result;
    try {
      result = analyse(records_of(table), options);
    } catch (const AnalysisError& error) {
      if (bar) bar->finish();
      using Kind = AnalysisError::Kind;
      const int status = error.kind == Kind::kInvalidInput  ? kInputContent
                         : error.kind == Kind::kOutOfMemory ? kCannotReadOrWrite
                                                            : kCommandLine;
      return fail(status, input + ": " + with_lines(error, table));
    }
    if (bar) bar->finish();
    tell_notes(input, result.notes);
    if (std::all_of(result.pairs.begin(), result.pairs.end(), [](long n) { return n == 0; })) {
      return fail(kInputContent, input + ": no pair of records of one particle is " +
                                     (result.lag.empty() ? "there at all" : "at " + lag_summary(result.lag)) + " (" +
                                     frame_differences(table.frame, table.particle) + "); nothing to compute");
    }
    AnalysisTableFormat format = plan_.output;
    format.threads = request_.threads;
    format.time_step = dt;
    if (request_.per_particle) format.particle_names = table.particle_names;
    if (!request_.no_metadata) {
      format.metadata = std::string("msdisf ") + MSDISF_VERSION + "; input: " + input +
                        "; dimensions: " + std::to_string(records_of(table).dimensions());
      if (dt > 0.0) format.metadata += "; dt: " + shortest(dt);
      if (plan_.mpp > 0.0) format.metadata += "; mpp: " + shortest(plan_.mpp);
      format.metadata += "; options:" + request_.command_line;
    }
    const bool written =
        write_analysis_table(result, format, [&output](std::string_view p) { return output.write(p); });
    return written ? kDone : cannot_write(output);
  }

  // The lag sums of the table's records, for msdisf merge.
  int sums(const std::string& input, const RecordTable& table, double dt, SafeOutput& output) {
    LagSums sums;
    try {
      // A file of one particle names it by the file, so that such files merge.
      const std::vector<std::string> ids = table.particle.empty() ? std::vector<std::string>{input} : table.particle_names;
      sums = lag_sums(records_of(table), plan_.analysis, ids);
    } catch (const AnalysisError& error) {
      const int status = error.kind == AnalysisError::Kind::kInvalidInput ? kInputContent : kCommandLine;
      return fail(status, input + ": " + with_lines(error, table));
    }
    tell_notes(input, sums.notes);
    const LagRequest::Kind kind = plan_.analysis.lags.kind;
    if (!request_.quiet && (kind == LagRequest::Kind::kAll ||
                            (kind == LagRequest::Kind::kLogSpaced && plan_.analysis.lags.max_lag == 0))) {
      say(input + ": the lags follow this file's longest span; for sums that merge with others, give "
                  "--lags max:L, log:K:L or a list");
    }
    sums.dt = dt;
    sums.mpp = plan_.mpp;
    sums.sources = {plan_.shard_count > 0 ? input + " (shard " + request_.shard + ")" : input};
    const bool written = write_sums_file(sums, [&output](std::string_view p) { return output.write(p); });
    return written ? kDone : cannot_write(output);
  }

  // The engine's notes; with -q only those that warn about the results.
  void tell_notes(const std::string& input, const std::vector<std::string>& notes) {
    for (const std::string& note : notes) {
      if (!request_.quiet || !informational_note(note)) say(input + ": " + note);
    }
  }

  // Lines read past with --skip-bad-lines, and missing positions (left out
  // with -q: a file marks them on purpose): one line each.
  void report_lines_left_out(const std::string& input, const RecordTable& table) {
    if (table.skipped > 0) {
      std::string lines;
      for (const long l : table.first_skipped) lines += (lines.empty() ? "" : ", ") + std::to_string(l);
      say(input + ": skipped " + std::to_string(table.skipped) + " unusable line" + (table.skipped > 1 ? "s" : "") +
          " (" + (table.skipped > 5 ? "the first: " : "") + lines + ")");
    }
    if (table.missing > 0 && !request_.quiet) {
      say(input + ": " + std::to_string(table.missing) + " record" + (table.missing > 1 ? "s have" : " has") +
          " no position (an empty, NA or nan " + coordinates_of(table) + ") and form" + (table.missing > 1 ? "" : "s") + " no pair");
    }
  }

  // The job table's readers, estimators and table, byte for byte as msd_isf
  // writes them; any reader message means the file was not fully used.
  int job_table(const std::string& input, const std::string& text, SafeOutput& output) {
    const RecordLayout layout = request_.format == "txy"     ? RecordLayout::kTXY
                                : request_.format == "multi" ? RecordLayout::kMulti
                                                             : RecordLayout::kXYT;
    const bool multi = layout == RecordLayout::kMulti;
    // The job table pools separate trajectories per trajectory, and windows a single one.
    const PairRule rule = request_.estimator.empty() ? (multi ? PairRule::kPerTrajectory : PairRule::kWindow)
                                                     : plan_.analysis.pairs;
    if (multi != (rule == PairRule::kPerTrajectory)) {
      return fail(kCommandLine, "--job-table-output with the " + request_.estimator + " estimator needs " +
                                    (multi ? "--format xyt or txy" : "--format multi"));
    }
    AnalysisState state(std::clamp(entries_bound(text, layout), 1L, kMaxJobTableEntries));
    std::ostringstream silent, problems;
    Console quiet{silent, problems};
    if (multi) {
      read_experimental_text(state, text, input, quiet);
    } else {
      read_simulation_text(state, text, input, quiet, layout);
    }
    if (!problems.str().empty()) {
      std::string first = problems.str().substr(0, problems.str().find('\n'));
      return fail(kInputContent, input + ": " + first);
    }
    EstimatorOptions options;
    // The job table's digits come from moments summed in pair order.
    options.method = plan_.analysis.method == Method::kExact ? Method::kExact : Method::kOrdered;
    options.threads = request_.threads;
    options.max_lag = request_.max_lag;
    options.store_counts = true;
    options.intermediate_tables = false;
    try {
      if (rule == PairRule::kWindow) {
        calculate_isf_and_msd(state, output.path(), quiet, options);
      } else if (rule == PairRule::kAllPairs) {
        calculate_isf_and_msd_fixedlag(state, output.path(), quiet, options);
      } else {
        calculate_isf_and_msd_distincttrajs(state, output.path(), quiet, options);
      }
    } catch (const AnalysisError& error) {
      return fail(error.kind == AnalysisError::Kind::kInvalidInput ? kInputContent : kCommandLine,
                  input + ": " + error.what());
    }
    const long last = request_.max_lag > 0 ? std::min<long>(state.N - 1, request_.max_lag) : state.N - 1;
    std::string piece;
    append_header(piece);
    for (long lag = 1; lag <= last; ++lag) {
      append_row(piece, state, lag);
      if (piece.size() > (1 << 20)) {
        if (!output.write(piece)) return cannot_write(output);
        piece.clear();
      }
    }
    return output.write(piece) ? kDone : cannot_write(output);
  }

  const Request& request_;
  const Plan& plan_;
  Console& console_;
  bool progress_terminal_;
  SafeOutput* drift_output_ = nullptr;  // the current input's --drift-output
};

// Options given with a value they cannot take: one short line.
std::optional<std::string> range_problem(const CLI::App& app, const Request& r) {
  auto given = [&app](const char* name) { return app.count(name) > 0; };
  auto number = [](double v) { return shortest(v); };
  if (given("--output") && r.output.empty()) return "-o needs a path ('-' for standard output)";
  if (given("--output-dir") && r.output_dir.empty()) return "--output-dir needs a folder";
  for (const auto& [name, value] : {std::pair{"--dt", r.dt}, {"--fps", r.fps}, {"--mpp", r.mpp}}) {
    if (given(name) && !(value > 0.0 && std::isfinite(value))) {
      return std::string(name) + " takes a positive number, not " + number(value);
    }
  }
  if (given("--max-lag") && r.max_lag < 1) return "--max-lag takes a whole number of at least 1, not " + std::to_string(r.max_lag);
  if (r.threads < 0 || r.threads > 4096) return "--threads takes 0 (every processor) to 4096, not " + std::to_string(r.threads);
  return std::nullopt;
}

// Every option of the command line, bound to the request's fields.
void add_options(CLI::App& app, Request& request) {
  app.add_option("INPUT", request.inputs, "Trajectory files ('-' for standard input)");
  app.add_option("--inputs-from", request.inputs_from, "A file listing inputs, one per line");
  app.add_option("-o,--output", request.output, "Result table ('-' for standard output; one input only)");
  app.add_option("--output-dir", request.output_dir, "Folder for the result tables of the inputs");
  app.add_option("--columns", request.columns, "x,y,frame[,particle]: column names or numbers");
  app.add_option("--x", request.x, "Column of x (name or number)");
  app.add_option("--y", request.y, "Column of y (name or number)");
  app.add_option("--z", request.z, "Column of z (name or number): three dimensions");
  app.add_option("--frame", request.frame, "Column of whole frame numbers (name or number)");
  app.add_option("--time", request.time, "Column of times (name or number): turned into frames with --dt, or with dt "
                                          "inferred from the most common time step");
  app.add_option("--particle", request.particle, "Column of the particle id (name or number)");
  app.add_option("--separator", request.separator, "auto (default), whitespace, comma, tab or semicolon")
      ->check(CLI::IsMember({"auto", "whitespace", "comma", "tab", "semicolon"}));
  app.add_option("--dt", request.dt,
                 "Time per frame: adds a time column (lag times dt); turns a time column into frames");
  app.add_option("--fps", request.fps, "Frames per time unit: the same as --dt 1/FPS");
  app.add_option("--mpp", request.mpp,
                 "Length per pixel: positions are multiplied by it; q and --scales are in that length unit");
  app.add_flag("--skip-bad-lines", request.skip_bad_lines, "Skip unusable lines, and say how many");
  app.add_option("--lags", request.lags,
                 "all (default), max:L, log:K, log:K:L or a list such as 1,2,5,10; log:K takes each file's own "
                 "longest span, log:K:L the same lags for every file");
  app.add_option("--max-lag", request.max_lag, "The same as --lags max:L");
  app.add_option("--q", request.q, "Wave numbers, such as 0.5,1,2 (no factor 2 pi)");
  app.add_option("--scales", request.scales, "Length scales s, with q = 1/s (default: the 15 standard scales)");
  app.add_option("--estimator", request.estimator,
                 "all-pairs (default), window (no particle's first position is an origin) or per-trajectory "
                 "(no particle's last position is an end)");
  app.add_option("--method", request.method,
                 "fast (default: every column from FFT correlations, within 1e-10 of the exact sums), ordered "
                 "(moments summed pair by pair in order, bit for bit the exact ones; slower) or exact (the plain "
                 "pairwise arithmetic)");
  app.add_option("--quantities", request.quantities,
                 "The columns to compute, such as msd or msd,alpha2,fs (default: msd, msd_axes, mean_axes, "
                 "msd_centered and alpha2, with fs, the isotropic self-ISF, when --q or --scales is given); by name "
                 "also the job table's mqd, ngp, skewness, md, mcd and isf, all seven named job-table; fewer cost "
                 "less");
  app.add_flag("--errors", request.errors,
               "Standard errors of msd, msd_x, msd_y, ngp, alpha2, fs and the isf cos parts (msd_se, ...; se_groups "
               "counts the independent groups behind them); costs a pass over the data per lag and wave number");
  app.add_option("--threads", request.threads, "Threads to use (default 0: every processor)");
  app.add_option("--output-format", request.output_format, "tsv (default) or csv")
      ->check(CLI::IsMember({"tsv", "csv"}));
  app.add_flag("--no-metadata", request.no_metadata, "No first comment line with the program, input and options");
  app.add_option("--format", request.format, "Layout of a file without a header: xyt, txy or multi")
      ->check(CLI::IsMember({"xyt", "txy", "multi"}));
  app.add_flag("--sums", request.sums,
               "Write the lag sums (<stem>.msdisf.sums) instead of the table; msdisf merge pools them");
  app.add_option("--shard", request.shard,
                 "i/n: only the particles whose id key is i modulo n (the whole file is still read); n runs with "
                 "--sums, one per i, merge into the sums of the whole file");
  app.add_flag("--id-prefix-from-file", request.id_prefix_from_file,
               "Particle ids become <input>:<id>, so that files reusing the same ids hold distinct particles");
  app.add_option("--box", request.box,
                 "Lx,Ly[,Lz]: a periodic box (one length per axis, in the length unit after --mpp); positions are "
                 "unwrapped along each particle by the minimum image of every step");
  app.add_flag("--subtract-drift", request.subtract_drift,
               "Subtract the ensemble drift (the mean step of the particles present in both frames, summed over "
               "the frames) from every position first");
  app.add_option("--drift-output", request.drift_output,
                 "With --subtract-drift and one input: write the drift (frame,dx,dy[,dz], summed from 0) as CSV");
  app.add_flag("--per-particle", request.per_particle,
               "One row per particle and lag with pairs, the particle's id first (moments summed pair by pair)");
  app.add_flag("--job-table-output", request.job_table_output,
               "With --format: read, estimate and write exactly as msd_isf does");
  app.add_flag("-q,--quiet", request.quiet, "Print nothing but problems");
  app.set_version_flag("--version", std::string("msdisf ") + MSDISF_VERSION);
  app.footer(kFooter);
}

// The inputs named in request.inputs_from, one a line (# comments, blank
// lines and trailing blanks left out); false when the list cannot be read.
bool add_listed_inputs(Request& request) {
  std::ifstream list(request.inputs_from);
  if (!list) return false;
  for (std::string line; std::getline(list, line);) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (!line.empty() && line[0] != '#') request.inputs.push_back(line);
  }
  return true;
}

}  // namespace

int run_cli(int argc, const char* const* argv, Console& console, bool progress_terminal) {
  if (argc >= 2 && std::strcmp(argv[1], "fit") == 0) return run_fit(argc - 1, argv + 1, console);
  if (argc >= 2 && std::strcmp(argv[1], "merge") == 0) return run_merge(argc - 1, argv + 1, console);
  Request request;
  CLI::App app{
      "msdisf: mean squared displacement, displacement moments and intermediate scattering functions\n"
      "of particle trajectories in one, two or three dimensions, for every time lag.",
      "msdisf"};
  add_options(app, request);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    console.out << app.help();
    return kDone;
  } catch (const CLI::CallForVersion&) {
    console.out << "msdisf " << MSDISF_VERSION << std::endl;
    return kDone;
  } catch (const CLI::ParseError& error) {
    console.err << "msdisf: " << error.what() << " (see msdisf --help)" << std::endl;
    return kCommandLine;
  }
  for (int i = 1; i < argc; ++i) {
    if (std::find(request.inputs.begin(), request.inputs.end(), argv[i]) == request.inputs.end()) {
      request.command_line += std::string(" ") + argv[i];
    }
  }
  if (!request.inputs_from.empty() && !add_listed_inputs(request)) {
    console.err << "msdisf: " << request.inputs_from << ": cannot be read: " << std::strerror(errno) << std::endl;
    return kCannotReadOrWrite;
  }
  auto usage = [&console](const std::string& message) {
    console.err << "msdisf: " << message << " (see msdisf --help)" << std::endl;
    return kCommandLine;
  };
  if (const auto problem = range_problem(app, request)) return usage(*problem);
  if (request.inputs.empty()) return usage("name at least one input file");
  if (request.inputs.size() > 1 && !request.output.empty() && request.output != "-") {
    return usage("-o names one output; with several inputs use --output-dir");
  }
  if (!request.output.empty() && !request.output_dir.empty()) return usage("give -o or --output-dir, not both");
  if (request.job_table_output && request.format.empty()) return usage("--job-table-output needs --format");
  const auto plan = plan_from(request);
  if (const auto* problem = std::get_if<std::string>(&plan)) return usage(*problem);
  if (const auto clash = output_clash(request)) return usage(*clash);
  if (!request.output_dir.empty()) {
    std::error_code ignored;
    std::filesystem::create_directories(request.output_dir, ignored);
  }

  std::vector<FileIdentity> identities;
  for (const std::string& input : request.inputs) {
    if (const auto id = identity_of(input)) identities.push_back(*id);
  }
  remove_temporary_files_on_signals();
  Run run(request, std::get<Plan>(plan), console, progress_terminal);
  int worst = kDone;
  for (const std::string& input : request.inputs) worst = std::max(worst, run.one(input, identities));
  if (request.inputs.size() > 1 && !request.quiet) {
    console.err << "msdisf: " << request.inputs.size() << " inputs, worst status " << worst << std::endl;
  }
  return worst;
}

}  // namespace msdisf
