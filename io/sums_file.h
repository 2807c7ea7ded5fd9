// The sums file: lag sums as text that reads back to the same bits.
//
//   # msdisf sums 2
//   # estimator<TAB>all-pairs
//   # quantities<TAB>msd,mqd,ngp,skewness,md,mcd,isf
//   # dimensions<TAB>1, 2 or 3
//   # wave_numbers<TAB>q1<TAB>q2 ...
//   # dt<TAB>time per frame (0: none)
//   # mpp<TAB>length per pixel (0: none)
//   # sources<TAB>name<TAB>name ...
//   # rows<TAB>R
//   # particles<TAB>P
//   lag<TAB>pairs<TAB>s1 ... s1_x ... cos_x[q] ... sin_r[q]     (the sums present)
//   R lines of numbers
//   # particle keys
//   P lines: key (16 hex digits)<TAB>id (bytes below 0x20 and % as %XX)
//   # end
//
// Numbers are the shortest decimal text that reads back as the same double.
// Files of version 1 (two dimensions, no '# dimensions' line) are read too.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <variant>

#include "engine/sums.h"

namespace msdisf {

/// Writes `sums` in pieces through `sink`, which returns false when writing
/// failed; returns false then too. The sums of standard errors are not
/// written: sums with them are refused (false) before anything is written.
bool write_sums_file(const LagSums& sums, const std::function<bool(std::string_view)>& sink);

/// A file that is not a sums file, or not a whole one: one line, with the
/// line number where it applies (no file name).
struct SumsFileError {
  std::string message;
};

/// Reads a whole sums file. Its `sources` are those recorded in it, or
/// `name` when it records none.
std::variant<LagSums, SumsFileError> read_sums_file(std::string_view text, const std::string& name);

}  // namespace msdisf
