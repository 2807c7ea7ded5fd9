// The properties the fuzz targets check, kept apart from the fuzzing entry
// points so that the ordinary test suite replays every committed corpus file
// through the same checks. Each returns an empty string when the property
// holds, else a description of what broke.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "job_table/state/analysis_state.h"

namespace msdisf::fuzz {

/// The number scanner ends and fails every token exactly where stream extraction does.
std::string check_number_scanner(const std::uint8_t* data, std::size_t size);

/// First byte: layout (even: x y t, odd: t x y); second: capacity 1..64; the rest is the file.
std::string check_single_reader(const std::uint8_t* data, std::size_t size);

/// First byte: capacity 1..64; the rest is the file.
std::string check_multi_reader(const std::uint8_t* data, std::size_t size);

/// First byte: rank -2..13; the rest is the input path.
std::string check_result_path(const std::uint8_t* data, std::size_t size);

/// First byte: options (separator, --dt, --skip-bad-lines); the rest is the
/// file. Whatever the reader accepts, the engine analyses or refuses with an
/// error; columns have one entry per record, positions are never infinite,
/// lines increase.
std::string check_record_table(const std::uint8_t* data, std::size_t size);

/// What the single-trajectory reader must leave: N within the capacity,
/// consecutive frames, NaN in X exactly where NaN in Y, untouched entries past N.
std::string single_reader_violation(const AnalysisState& state);

/// What the multi-trajectory reader must leave: N within the capacity, NaN in X
/// exactly where NaN in Y, every gap marker after a record, carrying its number
/// and frame + 1, and untouched entries (trajectory number -1) past N.
std::string multi_reader_violation(const AnalysisState& state);

}  // namespace msdisf::fuzz
