#include "cli/merge_command.h"

#include <CLI/CLI.hpp>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "cli/subcommand.h"
#include "engine/sums.h"
#include "io/analysis_table.h"
#include "io/record_table.h"
#include "io/safe_output.h"
#include "io/sums_file.h"

#ifndef MSDISF_VERSION
#error "MSDISF_VERSION must name the release"
#endif

namespace msdisf {

namespace {

struct MergeRequest {
  std::vector<std::string> inputs;
  std::string output;
  bool sums = false;
  std::string output_format = "tsv";
  bool no_metadata = false;
  bool quiet = false;
};

std::string metadata_of(const LagSums& sums, const MergeRequest& r) {
  char number[32];
  std::string text = std::string("msdisf ") + MSDISF_VERSION + "; merged " + std::to_string(r.inputs.size()) +
                     " sums files of " + std::to_string(sums.particles.size()) + " particles; dimensions: " +
                     std::to_string(sums.dimensions);
  for (const auto& [name, value] : {std::pair{"dt", sums.dt}, {"mpp", sums.mpp}}) {
    if (value <= 0.0) continue;
    const auto [end, error] = std::to_chars(number, number + sizeof number, value);
    text += "; " + std::string(name) + ": " + std::string(number, error == std::errc() ? end : number);
  }
  return text;
}

// Why the inputs give no pooled sums: the exit status and one line.
struct Failure {
  int status = 0;
  std::string message;
};

std::variant<LagSums, Failure> read_input(const std::string& input) {
  std::string problem;
  const std::optional<std::string> text = load_input(input, problem);
  if (!text) return Failure{1, input + ": cannot be read: " + problem};
  auto read = read_sums_file(*text, input);
  if (auto* error = std::get_if<SumsFileError>(&read)) return Failure{3, input + ": " + error->message};
  return std::move(std::get<LagSums>(read));
}

// The inputs' sums merged one after another in the order given, or the
// first input, in that order, that cannot be read or merged. Files are read
// on every thread, each thread's next one only once its last is merged, so
// that memory holds a file per thread and the sums do not depend on threads.
std::variant<LagSums, Failure> pooled_sums(const std::vector<std::string>& inputs) {
  std::optional<LagSums> pooled;
  std::optional<Failure> failure;
  std::atomic<bool> failed = false;
  const auto count = static_cast<long>(inputs.size());
#pragma omp parallel for ordered schedule(dynamic, 1)
  for (long i = 0; i < count; ++i) {
    const std::string& input = inputs[static_cast<std::size_t>(i)];
    std::variant<LagSums, Failure> read;
    if (!failed.load()) read = read_input(input);
#pragma omp ordered
    {
      if (failure) {
        // Past the first failure: nothing more is merged.
      } else if (auto* problem = std::get_if<Failure>(&read)) {
        failure = std::move(*problem);
      } else if (!pooled) {
        pooled = std::move(std::get<LagSums>(read));
      } else {
        try {
          merge_into(*pooled, std::get<LagSums>(read));
        } catch (const AnalysisError& error) {
          // Files that reuse the same ids hold different particles under them.
          const bool shared = error.kind == AnalysisError::Kind::kInvalidInput;
          failure = Failure{3, input + ": " + error.what() +
                                   (shared ? "; files that reuse the same particle ids need --id-prefix-from-file" : "")};
        }
      }
      if (failure) failed = true;
    }
  }
  if (failure) return *failure;
  return std::move(*pooled);
}

}  // namespace

int run_merge(int argc, const char* const* argv, Console& console) {
  MergeRequest request;
  CLI::App app{"msdisf merge: the pooled table of sums files written by msdisf --sums (shards of whole particles)",
               "msdisf merge"};
  app.add_option("SUMS", request.inputs, "Sums files")->required();
  app.add_option("-o,--output", request.output, "The pooled table ('-' for standard output)")->required();
  app.add_flag("--sums", request.sums, "Write the merged sums instead of the table");
  app.add_option("--output-format", request.output_format, "tsv (default) or csv")
      ->check(CLI::IsMember({"tsv", "csv"}));
  app.add_flag("--no-metadata", request.no_metadata, "No first comment line");
  app.add_flag("-q,--quiet", request.quiet, "Print nothing but problems");
  if (const auto status = parse_subcommand(app, argc, argv, console, "msdisf merge")) return *status;
  if (request.output.empty()) {
    console.err << "msdisf merge: -o needs a path ('-' for standard output)" << std::endl;
    return 2;
  }
  std::vector<FileIdentity> identities;
  for (const std::string& input : request.inputs) {
    if (const auto id = identity_of(input)) identities.push_back(*id);
  }
  remove_temporary_files_on_signals();
  auto opened = SafeOutput::open(request.output, identities);
  if (auto* problem = std::get_if<OutputProblem>(&opened)) {
    console.err << "msdisf merge: " << problem->message << std::endl;
    return problem->status;
  }
  SafeOutput& output = std::get<SafeOutput>(opened);
  auto merged = pooled_sums(request.inputs);
  if (auto* failure = std::get_if<Failure>(&merged)) {
    console.err << "msdisf merge: " << failure->message << std::endl;
    return failure->status;
  }
  const LagSums* pooled = &std::get<LagSums>(merged);
  const auto sink = [&output](std::string_view piece) { return output.write(piece); };
  bool written = false;
  if (request.sums) {
    written = write_sums_file(*pooled, sink);
  } else {
    AnalysisTableFormat format;
    format.separator = request.output_format == "csv" ? ',' : '\t';
    format.time_step = pooled->dt;
    if (!request.no_metadata) format.metadata = metadata_of(*pooled, request);
    written = write_analysis_table(finish(*pooled), format, sink);
  }
  if (!written || !output.commit()) {
    console.err << "msdisf merge: cannot write " << output.path() << ": " << std::strerror(errno) << std::endl;
    return 1;
  }
  if (!request.quiet && output.path() != "-") {
    console.err << "msdisf merge: " << request.inputs.size() << " sums files of " << pooled->particles.size()
                << " particles: wrote " << output.path() << std::endl;
  }
  return 0;
}

}  // namespace msdisf
