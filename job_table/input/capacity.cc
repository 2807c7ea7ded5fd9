#include "job_table/input/capacity.h"

#include <algorithm>
#include <cmath>

#include "job_table/input/number_scanner.h"

namespace msdisf {

long entries_bound(std::string_view text, RecordLayout layout) {
  NumberScanner scanner(text.data(), text.data() + text.size());
  double fields[4];
  const int per_record = layout == RecordLayout::kMulti ? 4 : 3;
  const int frame_field = layout == RecordLayout::kTXY ? 0 : 2;
  long records = 0;
  double first_frame = 0.0;
  double last_frame = 0.0;
  while (true) {
    int got = 0;
    while (got < per_record && scanner.next(fields[got])) ++got;
    if (got < per_record) break;
    const double frame = std::ceil(fields[frame_field]);
    if (records == 0) first_frame = last_frame = frame;
    last_frame = std::max(last_frame, frame);
    ++records;
  }
  if (records == 0) return 1;
  if (layout == RecordLayout::kMulti) return 2 * records;
  const double span = last_frame - first_frame + 1.0;
  return span >= 9.0e18 ? static_cast<long>(9.0e18) : std::max(1L, static_cast<long>(span));
}

}  // namespace msdisf
