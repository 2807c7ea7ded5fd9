#include "tests/support/run_program.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <stdexcept>

#include "tests/support/temp_dir.h"

namespace msdisf::testing {

ProgramResult run_program(const std::string& program, const std::vector<std::string>& args,
                          const std::filesystem::path& working_dir, long file_size_limit) {
  TempDir capture;
  const std::string out_path = (capture.path() / "out").string();
  const std::string err_path = (capture.path() / "err").string();
  const pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 || chdir(working_dir.c_str()) != 0) _exit(127);
    if (file_size_limit >= 0) {
      // Set after the capture files are open: they are not limited retroactively,
      // but their growth is, so keep the limit above what the child prints.
      signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{static_cast<rlim_t>(file_size_limit), static_cast<rlim_t>(file_size_limit)};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(127);
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ProgramResult result;
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = read_file(out_path);
  result.err = read_file(err_path);
  return result;
}

}  // namespace msdisf::testing
