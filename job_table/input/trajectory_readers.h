// The two trajectory readers. Each loads one text file into the analysis
// state: frame numbers into T, coordinates into X and Y, and the entry count
// into N. Frames that a trajectory skips become gap markers (NaN in X and
// Y), so that an estimator can pair entries a fixed number of frames apart.
//
// Both report on the console as they go and return false only when the file
// cannot be opened (then nothing in the state has changed). Problems inside
// the file end the reading with a message on the error channel; what was read
// before stays, and N is set to the entries actually stored.
#pragma once

#include <string>
#include <string_view>

#include "job_table/input/capacity.h"
#include "job_table/state/analysis_state.h"
#include "job_table/state/console.h"

namespace msdisf {

/// Records that the t x y layout (ranks 4..8) stores at the most.
inline constexpr int READ_LIMIT = 2'500'000;

/// One trajectory of records "x y t" (or "t x y" when state.RANK is 4..8).
/// Frame numbers are the ceilings of t and must increase strictly; every
/// missing frame gets its own gap marker, so entry i + 1 is always one frame
/// after entry i. Prints "so the file has <lines> lines". The reading stops at
/// the first token that is not a number, at a frame that does not increase,
/// at a frame outside the int range, or where the entries would pass the
/// state's capacity; when fewer entries were stored than lines counted, a
/// warning says so.
[[nodiscard]] bool read_simulation_data(AnalysisState& state, const std::string& path, Console& console);

/// Several trajectories of records "x y t trajnum", one after another. One gap
/// marker (carrying the trajectory number before it) goes wherever a frame does
/// not follow on from the entry before: frames missing inside a trajectory, or
/// the start of the next one. Prints "so the file has <lines - 1> lines" and
/// "test". N ends as the number of entries stored.
[[nodiscard]] bool read_experimental_data(AnalysisState& state, const std::string& path, Console& console);

/// The same readers on text already in memory; `path` only names the input in
/// messages. `layout` is kXYT or kTXY: the order of a record's fields.
void read_simulation_text(AnalysisState& state, std::string_view text, const std::string& path, Console& console,
                          RecordLayout layout);
void read_experimental_text(AnalysisState& state, std::string_view text, const std::string& path, Console& console);

}  // namespace msdisf
