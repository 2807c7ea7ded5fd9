// msdisf: the statistics of any trajectory file, read with io's record
// reader, computed by the engine and written with io's table writer through
// a safe output; `--job-table-output` runs the job table's readers,
// estimators and writer instead, byte for byte as msd_isf writes them.
#pragma once

#include "job_table/state/console.h"

namespace msdisf {

/// Runs msdisf on argv and returns the exit status: 0 on success, 1 when an
/// input cannot be read or a table cannot be written, 2 for a command line
/// it cannot use, 3 for an input whose content cannot be used (with several
/// inputs, the worst of them); 128 + n when stopped by signal n. `progress_terminal`: standard error is a terminal, so a
/// progress bar may be drawn on console.err.
int run_cli(int argc, const char* const* argv, Console& console, bool progress_terminal);

}  // namespace msdisf
