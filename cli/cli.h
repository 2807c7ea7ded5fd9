// msdisf: the statistics of any trajectory file, with the file format, the
// output path, the estimator, the largest lag and the method chosen on the
// command line. It reuses the driver's readers, estimators and writer and
// writes the same table format.
#pragma once

#include "job_table/state/console.h"

namespace msdisf {

/// Runs msdisf on argv and returns the exit status: 0 on success, 1 when the
/// input cannot be read or the table cannot be written, 2 for a command line
/// it cannot use. `progress_terminal`: standard error is a terminal, so a
/// progress bar may be drawn on console.err.
int run_cli(int argc, const char* const* argv, Console& console, bool progress_terminal);

}  // namespace msdisf
