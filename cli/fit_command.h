// msdisf fit: D and alpha, with their errors, from a table msdisf wrote with
// --errors.
#pragma once

#include "job_table/state/console.h"

namespace msdisf {

/// argv[0] is "fit". Returns 0 on success, 1 when the table cannot be read,
/// 2 for an unusable command line, 3 for a table that cannot be fitted.
int run_fit(int argc, const char* const* argv, Console& console);

}  // namespace msdisf
