// Reading one trajectory file as msdisf does (the whole file into memory,
// then every record parsed): prints the seconds of each step and the
// records read, for bench/whole_run.py to set beside other readers.
//   whole_run_reader FILE
#include <chrono>
#include <cstdio>
#include <variant>

#include "io/record_table.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: whole_run_reader FILE\n");
    return 2;
  }
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  std::string problem;
  std::optional<std::string> text = msdisf::load_input(argv[1], problem);
  if (!text) {
    std::fprintf(stderr, "%s: %s\n", argv[1], problem.c_str());
    return 1;
  }
  const auto loaded = Clock::now();
  const auto table = msdisf::read_record_table(*text, {});
  const auto parsed = Clock::now();
  if (const auto* error = std::get_if<msdisf::RecordTableError>(&table)) {
    std::fprintf(stderr, "%s: %s\n", argv[1], error->message.c_str());
    return 1;
  }
  const auto seconds = [](auto from, auto to) { return std::chrono::duration<double>(to - from).count(); };
  std::printf("records %zu load %.4f parse %.4f total %.4f\n", std::get<msdisf::RecordTable>(table).x.size(),
              seconds(start, loaded), seconds(loaded, parsed), seconds(start, parsed));
}
