#include "job_table/input/text_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace msdisf {

std::optional<std::string> load_text_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    ::close(fd);
    return std::nullopt;
  }
  std::string text;
  // Regular files are read at their size in one go; pipes and other streams
  // grow the buffer as they deliver.
  std::size_t capacity = S_ISREG(info.st_mode) ? static_cast<std::size_t>(info.st_size) + 1 : 1 << 16;
  text.resize(capacity);
  std::size_t filled = 0;
  while (true) {
    if (filled == text.size()) text.resize(text.size() * 2);
    const ssize_t got = ::read(fd, text.data() + filled, text.size() - filled);
    if (got < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  ::close(fd);
  text.resize(filled);
  return text;
}

long count_lines(std::string_view text) {
  const long ends = static_cast<long>(std::count(text.begin(), text.end(), '\n'));
  return ends + (!text.empty() && text.back() != '\n' ? 1 : 0);
}

}  // namespace msdisf
