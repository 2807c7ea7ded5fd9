// The batch driver: two integer arguments select one job of the job table,
// whose file is read, analysed and written as a result table.
#pragma once

#include <optional>

#include "job_table/state/console.h"

namespace msdisf {

/// Converts a command-line argument the way the standard string-to-int
/// conversion does: leading white space and a sign accepted, digits read up
/// to the first non-digit ("3abc" gives 3). Empty when there are no digits at
/// all or the value does not fit a 32-bit int.
std::optional<int> convert_int_argument(const char* text);

/// Runs the driver on argv and returns the process exit status.
int run_driver(int argc, const char* const* argv, Console& console);

}  // namespace msdisf
