// The corrections of a file's positions before the analysis: unwrapping in
// a periodic box (--box) and subtracting the ensemble drift
// (--subtract-drift), in that order, after --mpp has scaled them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "io/record_table.h"

namespace msdisf {

struct PositionCorrections {
  std::vector<double> box;  ///< one length per axis (after --mpp); empty: no box
  bool subtract_drift = false;

  bool any() const { return !box.empty() || subtract_drift; }
};

/// A comma-separated list of finite numbers, at least one and no empty
/// item; nullopt otherwise.
std::optional<std::vector<double>> number_list(const std::string& text);

/// Lx[,Ly[,Lz]]: positive finite lengths; nullopt otherwise.
std::optional<std::vector<double>> box_from_text(const std::string& text);

struct CorrectionOutcome {
  std::vector<std::string> notes;  ///< one line each, for standard error
  std::string drift_csv;           ///< frame,dx,dy[,dz]: the drift at every frame, when subtracted
  std::optional<std::string> problem;  ///< one line without the file name, e.g. "line 12: ..."
  bool options_problem = false;        ///< the problem is the box's, not the records'
};

/// Corrects the table's positions in place. The table's frames must be set
/// (times already made frames).
CorrectionOutcome correct_positions(RecordTable& table, const PositionCorrections& corrections);

}  // namespace msdisf
