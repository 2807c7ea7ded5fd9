// The table writer's throughput: every lag and default column of one
// Brownian trajectory, formatted and handed to a sink that drops the text,
// and written to a file as msdisf writes its output. Prints MB/s of table
// text (medians over the repeats) on every processor and on one thread.
//   whole_run_writer [FRAMES] [REPEATS] [DIRECTORY]   (defaults: 100000, 5, /tmp)
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "engine/analysis.h"
#include "io/analysis_table.h"

namespace {

using namespace msdisf;

AnalysisResult brownian_result(long frames) {
  std::mt19937_64 random(7);
  std::normal_distribution<double> step(0.0, std::sqrt(2.0));
  std::vector<double> x(static_cast<std::size_t>(frames)), y(x.size());
  std::vector<std::int64_t> frame(x.size());
  double px = 1000.0, py = 1000.0;
  for (std::size_t f = 0; f < x.size(); ++f) {
    x[f] = px += step(random);
    y[f] = py += step(random);
    frame[f] = static_cast<std::int64_t>(f);
  }
  return analyse({x, y, frame, {}});
}

// Seconds of one write of the table through `sink`.
template <class Sink>
double seconds_to_write(const AnalysisResult& result, const AnalysisTableFormat& format, Sink&& sink) {
  const auto start = std::chrono::steady_clock::now();
  if (!write_analysis_table(result, format, sink)) {
    std::perror("whole_run_writer: writing failed");
    std::exit(1);
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const long frames = argc > 1 ? std::atol(argv[1]) : 100000;
  const int repeats = argc > 2 ? std::atoi(argv[2]) : 5;
  const std::string path = std::string(argc > 3 ? argv[3] : "/tmp") + "/whole_run_writer.tsv";
  const AnalysisResult result = brownian_result(frames);
  std::size_t bytes = 0;
  AnalysisTableFormat format;
  seconds_to_write(result, format, [&bytes](std::string_view text) { return bytes += text.size(), true; });
  std::printf("table: %ld rows, %.1f MB of text\n", static_cast<long>(result.rows()), bytes / 1e6);
  for (const int threads : {0, 1}) {
    format.threads = threads;
    std::vector<double> dropped, filed;
    for (int i = 0; i < repeats; ++i) {
      dropped.push_back(seconds_to_write(result, format, [](std::string_view) { return true; }));
      const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      filed.push_back(seconds_to_write(result, format, [fd](std::string_view text) {
        return ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
      }));
      ::close(fd);
    }
    std::printf("%s: formatting alone %.0f MB/s, into a file %.0f MB/s\n",
                threads == 0 ? "every processor" : "one thread", bytes / 1e6 / median(dropped),
                bytes / 1e6 / median(filed));
  }
  ::unlink(path.c_str());
}
