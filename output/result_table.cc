#include "output/result_table.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <system_error>

namespace msdisf {

namespace {

constexpr std::size_t kFlushBytes = 1 << 20;

// Writes the whole buffer to fd, across short writes and interruptions.
bool write_all(int fd, const std::string& buffer) {
  std::size_t done = 0;
  while (done < buffer.size()) {
    const ssize_t written = ::write(fd, buffer.data() + done, buffer.size() - done);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace

void append_fixed7(std::string& out, double value) {
  // The largest double has 309 integer digits; 7 decimals, sign and point fit in 330.
  char buffer[330];
  const std::to_chars_result result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 7);
  out.append(buffer, result.ptr);
}

void append_header(std::string& out) {
  out += "lag \t  msd \t mqd \t ngp \t skewness \t";
  for (const char* group : {"isfx[", "isfy[", "isfr[", "isfx_im[", "isfy_im[", "isfr_im["}) {
    for (const double scale : scales) {
      out += group;
      out += formatted("%g", scale);
      out += "] \t";
    }
  }
  out += "counter\n";
}

void append_row(std::string& out, const AnalysisState& state, long lag) {
  const long k = lag - 1;
  append_fixed7(out, static_cast<double>(lag));
  for (const double* column : {state.msd, state.mqd, state.ngp, state.skewness}) {
    out += '\t';
    append_fixed7(out, column[k]);
  }
  for (double** matrix : {state.isfx, state.isfy, state.isfr, state.isfx_im, state.isfy_im, state.isfr_im}) {
    for (int m = 0; m < kScaleCount; ++m) {
      out += '\t';
      append_fixed7(out, matrix[m][k]);
    }
  }
  out += '\t';
  append_fixed7(out, state.msdcounter[k]);
  out += '\n';
}

bool print_data(const AnalysisState& state, const std::string& path, Console& console) {
  const std::string temporary = path + ".tmp." + std::to_string(::getpid());
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    console.err << "Failed to open the file " << path << std::endl;
    return false;
  }
  std::string buffer;
  buffer.reserve(kFlushBytes + 8192);
  append_header(buffer);
  bool ok = true;
  for (long lag = 1; ok && lag < state.N; ++lag) {
    append_row(buffer, state, lag);
    if (buffer.size() >= kFlushBytes) {
      ok = write_all(fd, buffer);
      buffer.clear();
    }
  }
  ok = ok && write_all(fd, buffer);
  ok = (::close(fd) == 0) && ok;
  ok = ok && ::rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(temporary.c_str());
    console.err << "Failed to write the file " << path << std::endl;
  }
  return ok;
}

bool print_data_distinct_trajs(const AnalysisState& state, const std::string& path, Console& console) {
  return print_data(state, path, console);
}

}  // namespace msdisf
