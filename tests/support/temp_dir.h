// A scratch directory removed with everything in it when the test ends.
#pragma once

#include <filesystem>
#include <string>

namespace msdisf::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  /// Writes `contents` to path()/relative, creating parent folders.
  std::filesystem::path write(const std::string& relative, const std::string& contents) const;

 private:
  std::filesystem::path path_;
};

/// The whole content of a file ("" when it cannot be read).
std::string read_file(const std::filesystem::path& path);

}  // namespace msdisf::testing
