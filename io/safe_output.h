// Writing a result where the user asked for it without ever losing data:
// never onto an input, never renaming over a device, FIFO or link, replacing
// a file only with a complete one, and removing the temporary file when the
// process is stopped by SIGINT or SIGTERM.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace msdisf {

/// A file the program reads, by device and inode.
struct FileIdentity {
  dev_t device;
  ino_t inode;
};
std::optional<FileIdentity> identity_of(const std::string& path);

/// Why an output cannot be used, with the exit status it calls for
/// (1: cannot write there; 2: the command line names an input as output).
struct OutputProblem {
  std::string message;
  int status;
};

class SafeOutput {
 public:
  /// Checks `path` ("-" for standard output) before any work: a directory, a
  /// place that cannot be written or one of `inputs` is refused. Through a
  /// symbolic link the link's target is written (and the link kept). A
  /// device, FIFO or socket is written directly; a regular file is written to
  /// a temporary file beside it, created now, and renamed over it by commit().
  static std::variant<SafeOutput, OutputProblem> open(const std::string& path, const std::vector<FileIdentity>& inputs);

  SafeOutput(SafeOutput&& other) noexcept;
  SafeOutput& operator=(SafeOutput&&) = delete;
  ~SafeOutput();  // removes the temporary file unless committed

  /// Appends; false (with errno set) when writing failed, e.g. a full disk.
  bool write(std::string_view data);
  /// Closes and moves the result into place; false when that failed, after
  /// which the previous content is untouched.
  bool commit();
  const std::string& path() const { return path_; }

 private:
  SafeOutput() = default;
  void discard();

  std::string path_;       // as given, for messages
  std::string target_;     // the file that receives the result
  std::string temporary_;  // empty when writing directly
  int fd_ = -1;
  bool close_fd_ = true;
};

/// Installs SIGINT and SIGTERM handlers that remove the current temporary
/// file and end the process with status 128 + signal.
void remove_temporary_files_on_signals();

}  // namespace msdisf
