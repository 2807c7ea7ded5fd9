#include "io/safe_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <variant>

namespace msdisf {

namespace {

// The temporary file a signal must remove; written before the file exists
// and cleared after it is renamed or removed.
char g_temporary[4096];
volatile std::sig_atomic_t g_has_temporary = 0;

void on_signal(int signal) {
  if (g_has_temporary) ::unlink(g_temporary);
  ::_exit(128 + signal);
}

void register_temporary(const std::string& path) {
  g_has_temporary = 0;
  const std::size_t n = std::min(path.size(), sizeof g_temporary - 1);
  std::memcpy(g_temporary, path.data(), n);
  g_temporary[n] = '\0';
  g_has_temporary = 1;
}

std::string directory_of(const std::string& path) {
  const std::string parent = std::filesystem::path(path).parent_path().string();
  return parent.empty() ? "." : parent;
}

}  // namespace

std::optional<FileIdentity> identity_of(const std::string& path) {
  struct stat info {};
  if (path == "-" ? ::fstat(STDIN_FILENO, &info) != 0 : ::stat(path.c_str(), &info) != 0) return std::nullopt;
  return FileIdentity{info.st_dev, info.st_ino};
}

void remove_temporary_files_on_signals() {
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

std::variant<SafeOutput, OutputProblem> SafeOutput::open(const std::string& path,
                                                          const std::vector<FileIdentity>& inputs) {
  SafeOutput out;
  out.path_ = path;
  if (path == "-") {
    out.fd_ = STDOUT_FILENO;
    out.close_fd_ = false;
    return out;
  }
  std::error_code ignored;
  // Through links to the file they name; a dangling link names where to create it.
  out.target_ = std::filesystem::weakly_canonical(path, ignored).string();
  if (out.target_.empty()) out.target_ = path;
  struct stat info {};
  if (::stat(out.target_.c_str(), &info) == 0) {
    for (const FileIdentity& input : inputs) {
      if (input.device == info.st_dev && input.inode == info.st_ino) {
        return OutputProblem{path + " is an input file; name another output (-o)", 2};
      }
    }
    if (S_ISDIR(info.st_mode)) return OutputProblem{path + " is a directory; name a file (-o) or use --output-dir", 1};
    if (!S_ISREG(info.st_mode)) {
      // Devices, FIFOs and sockets are written as they are, never replaced.
      out.fd_ = ::open(out.target_.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
      if (out.fd_ < 0) return OutputProblem{"cannot write " + path + ": " + std::strerror(errno), 1};
      return out;
    }
  }
  const std::string name = std::filesystem::path(out.target_).filename().string();
  std::string temporary = directory_of(out.target_) + "/." + name + ".tmp.XXXXXX";
  register_temporary(temporary);  // the exact name follows once it exists
  out.fd_ = ::mkstemp(temporary.data());
  if (out.fd_ < 0) {
    g_has_temporary = 0;
    return OutputProblem{"cannot write " + path + ": " + std::strerror(errno), 1};
  }
  register_temporary(temporary);
  out.temporary_ = temporary;
  // The new file takes the old one's permissions, or those a new file gets.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(out.fd_, ::stat(out.target_.c_str(), &info) == 0 ? (info.st_mode & 07777) : (0666 & ~mask));
  return out;
}

SafeOutput::SafeOutput(SafeOutput&& other) noexcept
    : path_(std::move(other.path_)),
      target_(std::move(other.target_)),
      temporary_(std::move(other.temporary_)),
      fd_(other.fd_),
      close_fd_(other.close_fd_) {
  other.fd_ = -1;
  other.temporary_.clear();
}

SafeOutput::~SafeOutput() { discard(); }

void SafeOutput::discard() {
  if (fd_ >= 0 && close_fd_) ::close(fd_);
  fd_ = -1;
  if (!temporary_.empty()) {
    ::unlink(temporary_.c_str());
    g_has_temporary = 0;
    temporary_.clear();
  }
}

bool SafeOutput::write(std::string_view data) {
  while (!data.empty()) {
    const ssize_t written = ::write(fd_, data.data(), data.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

bool SafeOutput::commit() {
  if (temporary_.empty()) {
    const bool ok = !close_fd_ || ::close(fd_) == 0;
    fd_ = -1;
    return ok;
  }
  const bool closed = ::fsync(fd_) == 0 && ::close(fd_) == 0;
  fd_ = -1;
  if (!closed || ::rename(temporary_.c_str(), target_.c_str()) != 0) {
    const int saved = errno;
    discard();
    errno = saved;
    return false;
  }
  g_has_temporary = 0;
  temporary_.clear();
  return true;
}

}  // namespace msdisf
