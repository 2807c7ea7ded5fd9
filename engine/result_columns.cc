#include "engine/result_columns.h"

#include <cstdio>

namespace msdisf {

std::string wave_label(double q) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", q);
  return text;
}

}  // namespace msdisf
