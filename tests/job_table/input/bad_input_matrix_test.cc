// One table of malformed inputs for both readers. Every row is read twice:
// by the reader itself (its messages, the entries it keeps, the reader
// invariants) and by the msd_isf driver in a scratch job tree holding a
// result table from an earlier run (the exit status, and whether that table
// was replaced by a complete new one or left exactly as it was).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <sstream>

#include "job_table/input/trajectory_readers.h"
#include "tests/fuzz/fuzz_checks.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace msdisf {
namespace {

using namespace std::string_literals;

enum class Layout { kSingle, kMulti };
enum class Input { kText, kDirectory, kDanglingLink };

struct Row {
  const char* name;
  Layout layout;
  std::string contents;
  std::string err;  // a regular expression for the reader's whole error output ("" for none); %s: the path
  int entries;      // N after reading, -1 when the file cannot be opened
  Input input = Input::kText;
};

const std::string kPrevious = "a table from an earlier run\n";

std::string with_path(std::string pattern, const std::string& path) {
  const std::size_t at = pattern.find("%s");
  if (at != std::string::npos)
    pattern.replace(at, 2, std::regex_replace(path, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)"));
  return pattern;
}

std::vector<Row> rows() {
  const std::string stop = "%s: record ";
  std::vector<Row> table = {
      {"empty file", Layout::kSingle, "", "", 0},
      {"only blank lines", Layout::kSingle, "\n\n\n", "Warning: Only 0 lines read, expected 3 lines.\n", 0},
      {"header line", Layout::kSingle, "x y t\n1 2 1\n", "Warning: Only 0 lines read, expected 2 lines.\n", 0},
      {"text in the middle", Layout::kSingle, "1 1 1\n2 2 2\nabc\n4 4 4\n",
       "Warning: Only 2 lines read, expected 4 lines.\n", 2},
      {"truncated last record", Layout::kSingle, "1 1 1\n2 2 2\n3 3", "Warning: Only 2 lines read, expected 3 lines.\n",
       2},
      {"lone sign", Layout::kSingle, "1 1 1\n- 2 2\n", "Warning: Only 1 lines read, expected 2 lines.\n", 1},
      {"overflowing number", Layout::kSingle, "1 1 1\n1e999 2 2\n", "Warning: Only 1 lines read, expected 2 lines.\n",
       1},
      {"underflowing number reads as 0", Layout::kSingle, "1 1 1\n1e-999 2 2\n", "", 2},
      {"inf word", Layout::kSingle, "1 1 1\ninf 2 2\n", "Warning: Only 1 lines read, expected 2 lines.\n", 1},
      {"nan word", Layout::kSingle, "nan 1 1\n", "Warning: Only 0 lines read, expected 1 lines.\n", 0},
      {"CRLF line ends", Layout::kSingle, "1 1 1\r\n2 2 2\r\n", "", 2},
      {"tabs and runs of blanks", Layout::kSingle, "1\t\t1   1\n  2 \t2\t2\n", "", 2},
      {"NUL byte", Layout::kSingle, "1 1 1\n2\0 2 2\n"s, "Warning: Only 1 lines read, expected 2 lines.\n", 1},
      {"frames going back", Layout::kSingle, "1 1 5\n2 2 3\n",
       stop + "2: frame 3 does not follow frame 5; reading stops here\nWarning: Only 1 lines read, expected 2 lines.\n",
       1},
      {"repeated frame", Layout::kSingle, "1 1 5\n2 2 5\n",
       stop + "2: frame 5 does not follow frame 5; reading stops here\nWarning: Only 1 lines read, expected 2 lines.\n",
       1},
      {"huge frame jump", Layout::kSingle, "1 1 1\n2 2 2000000000\n",
       stop + "2: its frame would need more than the [0-9]+ entries the arrays hold; reading stops here\n"
              "Warning: Only 1 lines read, expected 2 lines.\n",
       1},
      {"negative frames", Layout::kSingle, "1 1 -3\n2 2 -2\n", "", 2},
      {"frame beyond the int range", Layout::kSingle, "1 1 1\n2 2 3e9\n",
       stop + "2: frame 3000000000 lies outside the frame range -2147483648 to 2147483647; reading stops here\n"
              "Warning: Only 1 lines read, expected 2 lines.\n",
       1},
      {"directory as input", Layout::kSingle, "", "Error opening file: %s\n", -1, Input::kDirectory},
      {"unreadable input", Layout::kSingle, "", "Error opening file: %s\n", -1, Input::kDanglingLink},

      {"empty file", Layout::kMulti, "", "", 0},
      {"only blank lines", Layout::kMulti, "\n\n\n", "0 states read for all tajectories\n", 0},
      {"header line", Layout::kMulti, "x y t n\n1 2 1 0\n1 2 2 0\n", "0 states read for all tajectories\n", 0},
      {"text in the middle", Layout::kMulti, "1 1 1 0\n2 2 2 0\nabc\n4 4 4 0\n5 5 5 0\n",
       "2 states read for all tajectories\n", 2},
      {"truncated last record", Layout::kMulti, "1 1 1 0\n2 2 2 0\n3 3 3", "", 2},
      {"lone sign", Layout::kMulti, "1 1 1 0\n- 2 2 0\n2 2 3 0\n", "1 states read for all tajectories\n", 1},
      {"overflowing number", Layout::kMulti, "1 1 1 0\n1 1 2 1e999\n3 3 3 0\n", "1 states read for all tajectories\n",
       1},
      {"underflowing number reads as 0", Layout::kMulti, "1 1 1 0\n1e-999 2 2 0\n", "", 2},
      {"inf and nan words", Layout::kMulti, "1 1 1 0\ninf 2 2 0\nnan 3 3 0\n", "1 states read for all tajectories\n",
       1},
      {"CRLF line ends", Layout::kMulti, "1 1 1 0\r\n2 2 2 0\r\n", "", 2},
      {"tabs and runs of blanks", Layout::kMulti, "1\t\t1   1 0\n  2 \t2\t2\t0\n", "", 2},
      {"NUL byte", Layout::kMulti, "1 1 1 0\n2\0 2 2 0\n3 3 3 0\n"s, "1 states read for all tajectories\n", 1},
      {"frames going back", Layout::kMulti, "1 1 5 0\n2 2 3 0\n", "", 3},
      {"repeated frame", Layout::kMulti, "1 1 5 0\n2 2 5 0\n", "", 3},
      {"huge frame jump", Layout::kMulti, "1 1 1 0\n2 2 2000000000 0\n", "", 3},
      {"negative frames", Layout::kMulti, "1 1 -3 0\n2 2 -2 0\n", "", 2},
      {"frame beyond the int range", Layout::kMulti, "1 1 1 0\n2 2 3e9 0\n",
       stop + "2: frame 3000000000 lies outside the frame range -2147483648 to 2147483647; reading stops here\n", 1},
      {"directory as input", Layout::kMulti, "", "Error opening file: %s\n", -1, Input::kDirectory},
      {"unreadable input", Layout::kMulti, "", "Error opening file: %s\n", -1, Input::kDanglingLink},
  };
  return table;
}

class BadInput : public ::testing::TestWithParam<Row> {
 protected:
  // Lays out the job's input under tree/data and returns its path relative to tree/work.
  std::string make_input(const Row& row) const {
    const std::string relative = row.layout == Layout::kSingle
                                     ? "data/FreeQuorix/FreeQuorix_cropped_combined_filtered.dat"
                                     : "data/FreeQuorix/FreeQuorix_cropped_distinct.dat";
    const std::filesystem::path target = tree.path() / relative;
    std::filesystem::create_directories(target.parent_path());
    switch (row.input) {
      case Input::kText:
        tree.write(relative, row.contents);
        break;
      case Input::kDirectory:
        std::filesystem::create_directory(target);
        break;
      case Input::kDanglingLink:
        std::filesystem::create_symlink(tree.path() / "nowhere", target);
        break;
    }
    std::filesystem::create_directories(tree.path() / "work");
    return "../" + relative;
  }
  testing::TempDir tree;
};

TEST_P(BadInput, ReaderAndDriverHandleIt) {
  const Row& row = GetParam();
  const std::string input = make_input(row);
  const std::string path = (tree.path() / "work" / input).string();

  AnalysisState state(1000);
  state.RANK = row.layout == Layout::kSingle ? 2 : 0;
  std::ostringstream out, err;
  Console console{out, err};
  const bool opened = row.layout == Layout::kSingle ? read_simulation_data(state, path, console)
                                                    : read_experimental_data(state, path, console);
  EXPECT_EQ(opened, row.entries >= 0);
  EXPECT_TRUE(std::regex_match(err.str(), std::regex(with_path(row.err, path)))) << err.str();
  if (opened) {
    EXPECT_EQ(state.N, row.entries);
    EXPECT_EQ(
        row.layout == Layout::kSingle ? fuzz::single_reader_violation(state) : fuzz::multi_reader_violation(state), "");
  }

  // Through the driver, with a table from an earlier run in place.
  const std::string table_name = row.layout == Layout::kSingle ? "msd_isf_FreeQuorix_cropped_combined_filtered.dat"
                                                               : "msd_isf_FreeQuorix_cropped_distinct.dat";
  const std::filesystem::path table = tree.write("data/FreeQuorix/" + table_name, kPrevious);
  const auto result =
      testing::run_program(MSD_ISF_PATH, {row.layout == Layout::kSingle ? "2" : "0", "1"}, tree.path() / "work");
  const std::string written = testing::read_file(table);
  if (opened) {
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(written.rfind("lag \t  msd \t", 0), 0u) << "a complete new table replaces the old one";
    if (row.layout == Layout::kSingle) {  // header and lags 1..N-1
      EXPECT_EQ(static_cast<int>(std::count(written.begin(), written.end(), '\n')), std::max(1, row.entries));
    }
  } else {
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err, "Error opening file: " + input + "\n");
    EXPECT_EQ(written, kPrevious);
  }
  for (const auto& entry : std::filesystem::directory_iterator(table.parent_path())) {
    EXPECT_EQ(entry.path().filename().string().find(".tmp."), std::string::npos) << "temporary left behind";
  }
}

std::string row_name(const ::testing::TestParamInfo<Row>& info) {
  std::string name = std::string(info.param.layout == Layout::kSingle ? "Single_" : "Multi_") + info.param.name;
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Matrix, BadInput, ::testing::ValuesIn(rows()), row_name);

}  // namespace
}  // namespace msdisf
