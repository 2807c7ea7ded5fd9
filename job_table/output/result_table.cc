#include "job_table/output/result_table.h"

#include <fcntl.h>
#include <omp.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <system_error>
#include <vector>

namespace msdisf {

namespace {

constexpr long kRowsPerChunk = 2048;  // about 2 MB of text

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

namespace {

// Values below this magnitude have |v| * 10^7 < 2^63 after rounding.
constexpr double kIntegerPathLimit = 9.0e11;
constexpr std::uint64_t kTenToSeven = 10'000'000;
__extension__ using uint128 = unsigned __int128;

// The digits of round(|value| * 10^7), rounded as printf rounds: the exact
// binary value m * 2^e times 10^7 is formed in 128 bits, so ties are true ties
// and go to the even neighbour.
std::uint64_t scaled_magnitude(std::uint64_t bits) {
  const int exponent_field = static_cast<int>((bits >> 52) & 0x7ff);
  const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
  const std::uint64_t mantissa = exponent_field == 0 ? fraction : fraction | (std::uint64_t{1} << 52);
  const int exponent = (exponent_field == 0 ? 1 : exponent_field) - 1075;
  const uint128 product = static_cast<uint128>(mantissa) * kTenToSeven;
  if (exponent >= 0) return static_cast<std::uint64_t>(product << exponent);
  const int shift = -exponent;
  if (shift >= 78) return 0;  // product < 2^77: below half of the last place
  const uint128 quotient = product >> shift;
  const uint128 remainder = product - (quotient << shift);
  const uint128 half = uint128{1} << (shift - 1);
  const bool round_up = remainder > half || (remainder == half && (quotient & 1) != 0);
  return static_cast<std::uint64_t>(quotient) + (round_up ? 1 : 0);
}

}  // namespace

void append_fixed7(std::string& out, double value) {
  if (!(std::fabs(value) < kIntegerPathLimit)) {
    // NaN, infinities and huge values: the general conversion. The largest
    // double has 309 integer digits; 7 decimals, sign and point fit in 330.
    char buffer[330];
    const std::to_chars_result result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 7);
    out.append(buffer, result.ptr);
    return;
  }
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
  const std::uint64_t scaled = scaled_magnitude(bits);
  char buffer[32];
  char* end = buffer + sizeof buffer;
  char* p = end;
  std::uint64_t fraction = scaled % kTenToSeven;
  for (int digit = 0; digit < 7; ++digit) {
    *--p = static_cast<char>('0' + fraction % 10);
    fraction /= 10;
  }
  *--p = '.';
  std::uint64_t whole = scaled / kTenToSeven;
  do {
    *--p = static_cast<char>('0' + whole % 10);
    whole /= 10;
  } while (whole != 0);
  if ((bits >> 63) != 0) *--p = '-';  // printf keeps the sign of -0 and of values that round to 0
  out.append(p, end);
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

bool print_data(const AnalysisState& state, const std::string& path, Console& console, long last_lag) {
  const std::string temporary = path + ".tmp." + std::to_string(::getpid());
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    console.err << "Failed to open the file " << path << std::endl;
    return false;
  }
  std::string header;
  append_header(header);
  bool ok = write_all(fd, header);
  // Rows are formatted in parallel, one chunk per thread, and written in order.
  const int threads = omp_get_max_threads();
  std::vector<std::string> chunks(static_cast<std::size_t>(threads));
  const long all_rows = state.N > 1 ? state.N - 1L : 0L;
  const long rows = last_lag >= 0 ? std::min(all_rows, last_lag) : all_rows;
  for (long first = 0; ok && first < rows; first += kRowsPerChunk * threads) {
#pragma omp parallel for schedule(static, 1) num_threads(threads)
    for (int c = 0; c < threads; ++c) {
      std::string& chunk = chunks[static_cast<std::size_t>(c)];
      chunk.clear();
      const long begin = std::min(rows, first + c * kRowsPerChunk);
      const long end = std::min(rows, begin + kRowsPerChunk);
      for (long row = begin; row < end; ++row) append_row(chunk, state, row + 1);
    }
    for (const std::string& chunk : chunks) ok = ok && write_all(fd, chunk);
  }
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
