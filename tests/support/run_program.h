// Runs a built executable as a child process and captures what it prints.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace msdisf::testing {

struct ProgramResult {
  int exit_status = -1;  // -1 when the child did not exit normally
  std::string out;
  std::string err;
};

/// Runs `program` with `args` (argv[0] is `program` itself) in `working_dir`.
/// A `file_size_limit` of 0 or more caps the size of any file the child
/// writes (writes past it fail with EFBIG instead of raising SIGXFSZ).
ProgramResult run_program(const std::string& program, const std::vector<std::string>& args,
                          const std::filesystem::path& working_dir, long file_size_limit = -1);

}  // namespace msdisf::testing
