// Whole-file loading and line counting for the trajectory readers.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace msdisf {

/// The whole content of a regular file; empty when it cannot be opened or
/// read, or when the path names a directory.
std::optional<std::string> load_text_file(const std::string& path);

/// The number of lines a line-by-line read finds: every line end closes a
/// line, and a last line without a line end counts too. Empty text has 0.
long count_lines(std::string_view text);

}  // namespace msdisf
