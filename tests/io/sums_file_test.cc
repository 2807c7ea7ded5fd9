// The sums file reads back to the same bits in one, two and three
// dimensions, and reads the two-dimensional files of version 1; a file cut
// short, changed by hand or of another kind gets one line naming where.
#include "io/sums_file.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <string>

namespace msdisf {
namespace {

// Sums of `dimensions` axes with awkward numbers in every column.
LagSums example(int dimensions = 2, bool per_axis_columns = false) {
  LagSums s;
  s.estimator = PairRule::kWindow;
  s.dimensions = dimensions;
  s.quantities.msd_axes = s.quantities.alpha2 = per_axis_columns;
  if (per_axis_columns) {
    s.r4 = {3.0, std::nextafter(2e-300, 1.0), 0.0};
    // With standard errors: their sums for s2, s4 and the 3 cos groups of 2 waves.
    s.errors.groups = {20.0, 3.0, 0.0};
    s.errors.nn = s.errors.s2s4 = {1.0 / 7.0, 1e-310, 0.0};
    s.errors.ss.assign(2 + 3 * 2, {std::nextafter(5.0, 6.0), 1e300, 0.0});
    s.errors.sn = s.errors.ss;
  }
  s.wave_numbers = {0.1, 1.0 / 3.0};
  s.lag = {1, 2, 7};
  s.dt = 0.05;
  s.pairs = {10, 8, 0};
  s.s1 = {0.1, -1e-300, 0.0};
  s.s2 = {1.0 / 3.0, 2e300, 0.0};
  s.s3 = {-5.5, 3.0, 0.0};
  s.s4 = {7.0, std::nextafter(1.0, 2.0), 0.0};
  if (dimensions != 2 || per_axis_columns) {
    for (auto* axes : {&s.axis_s1, &s.axis_s2, &s.axis_s3, &s.axis_s4}) {
      for (int a = 0; a < dimensions; ++a) axes->push_back({std::nextafter(0.5, a + 1.0), -3e-310 * a, 1e300});
    }
  }
  for (auto* group : {&s.cos_x, &s.cos_y, &s.cos_z, &s.cos_r, &s.sin_x, &s.sin_y, &s.sin_z, &s.sin_r}) {
    const bool present = group == &s.cos_x || group == &s.sin_x || (dimensions >= 2 && group != &s.cos_z &&
                                                                     group != &s.sin_z) || dimensions == 3;
    if (present) group->assign(2, {0.999999999999, -0.25, 0.0});
  }
  s.cos_z.assign(s.cos_z.size(), {0.125, std::nextafter(-1.0, 0.0), 0.0});
  s.particles = {{particle_key("c7"), "c7"}, {particle_key("tab\there"), "tab\there"}};
  std::sort(s.particles.begin(), s.particles.end());
  s.sources = {"shard 1.csv"};
  return s;
}

std::string text_of(const LagSums& s) {
  std::string text;
  EXPECT_TRUE(write_sums_file(s, [&text](std::string_view piece) {
    text += piece;
    return true;
  }));
  return text;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](double x, double y) {
           return std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y);
         });
}

bool same_bits(const std::vector<std::vector<double>>& a, const std::vector<std::vector<double>>& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](const auto& x, const auto& y) { return same_bits(x, y); });
}

TEST(SumsFile, ReadsBackTheSameBits) {
  for (const auto& [dimensions, per_axis] : {std::pair{1, false}, {2, false}, {3, false}, {2, true}}) {
    const LagSums written = example(dimensions, per_axis);
    const auto read = read_sums_file(text_of(written), "unused");
    ASSERT_TRUE(std::holds_alternative<LagSums>(read)) << std::get<SumsFileError>(read).message;
    const LagSums& back = std::get<LagSums>(read);
    EXPECT_EQ(text_of(back), text_of(written)) << dimensions;
    EXPECT_EQ(back.dimensions, dimensions);
    EXPECT_EQ(back.lag, written.lag);
    EXPECT_EQ(back.pairs, written.pairs);
    EXPECT_TRUE(same_bits(back.s4, written.s4)) << dimensions;
    EXPECT_TRUE(same_bits(back.r4, written.r4)) << dimensions;
    EXPECT_TRUE(same_bits(back.axis_s2, written.axis_s2)) << dimensions;
    EXPECT_EQ(back.quantities.alpha2, per_axis);
    EXPECT_TRUE(same_bits(back.errors.ss, written.errors.ss) && same_bits(back.errors.groups, written.errors.groups));
    for (auto [from, to] : {std::pair{&back.axis_s1, &written.axis_s1}, {&back.axis_s4, &written.axis_s4},
                            {&back.cos_x, &written.cos_x}, {&back.cos_y, &written.cos_y},
                            {&back.cos_z, &written.cos_z}, {&back.sin_z, &written.sin_z},
                            {&back.cos_r, &written.cos_r}}) {
      EXPECT_TRUE(same_bits(*from, *to)) << dimensions;
    }
    EXPECT_EQ(back.particles[0].id, written.particles[0].id);
    EXPECT_EQ(back.particles[1].id, written.particles[1].id);
    EXPECT_EQ(back.sources, written.sources);
    EXPECT_EQ(back.estimator, PairRule::kWindow);
  }
}

TEST(SumsFile, ReadsTwoDimensionalFilesOfVersionOne) {
  std::string text = text_of(example());
  ASSERT_EQ(text.rfind("# msdisf sums 2\n", 0), 0u);
  text.replace(0, 15, "# msdisf sums 1");
  text.erase(text.find("# dimensions\t2\n"), 15);
  text.erase(text.find("# errors\t0\n"), 11);
  const auto read = read_sums_file(text, "old.sums");
  ASSERT_TRUE(std::holds_alternative<LagSums>(read)) << std::get<SumsFileError>(read).message;
  EXPECT_EQ(std::get<LagSums>(read).dimensions, 2);
  EXPECT_EQ(text_of(std::get<LagSums>(read)), text_of(example()));
}

TEST(SumsFile, BrokenFilesGetOneLineNamingWhere) {
  const std::string good = text_of(example());
  const std::size_t rows_end = good.find("# particle keys");
  std::string changed_header = good;
  changed_header.replace(changed_header.find(",isf"), 4, ",xyz");
  std::string bad_number = good;
  bad_number.replace(bad_number.find("-5.5"), 4, "-5x5");
  auto changed = [](std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.find(from), from.size(), to);
  };
  const std::string three = text_of(example(3));
  const std::string row = good.substr(good.find("\n1\t10\t") + 1);
  const std::string row_end = row.substr(0, row.find('\n'));
  const std::pair<std::string, const char*> cases[] = {
      {good.substr(0, good.rfind('\n', rows_end - 2) + 1), "the file ends after 2 of 3 rows"},
      {good.substr(0, good.size() - 6), "no '# end' line: the file is not whole"},
      {"lag\tpairs\n1\t2\n", "line 1: not a sums file of a version this program reads"},
      {"", "the file is empty"},
      {changed(good, "# msdisf sums 2", "# msdisf sums 3"), "line 1: not a sums file of a version"},
      {changed(good, "# dimensions\t2", "# dimensions\t4"), "line 4: no '# dimensions' line with 1, 2 or 3"},
      {changed(good, "# errors\t0", "# errors\t2"), "line 5: no '# errors' line with 0 or 1"},
      {changed(three, "# dimensions\t3", "# dimensions\t2"), "line 12: the column names are not those"},
      {changed(good, row_end, row_end + "\t0"), "line 13: a row of 19 fields"},
      {changed(good, row_end, row_end + "\r"), "line 13: '0.999999999999\r' is not a number"},
      {changed(good, row_end, "1.0" + row_end.substr(1)), "line 13: a lag or pair count that is not a whole number"},
      {changed(good, "\t-5.5\t", "\t-5.5e\t"), "'-5.5e' is not a number"},
      {changed(good, "\t-5.5\t", "\t\t"), "'' is not a number"},
      {changed_header, "line 3: no '# quantities' line"},
      {bad_number, "'-5x5' is not a number"},
      {good.substr(0, good.find("# rows")) + "# rows\t999999999999\n# particles\t2\n", "shorter than the rows"},
  };
  for (const auto& [text, message] : cases) {
    const auto read = read_sums_file(text, "x.sums");
    ASSERT_TRUE(std::holds_alternative<SumsFileError>(read)) << message;
    EXPECT_NE(std::get<SumsFileError>(read).message.find(message), std::string::npos)
        << message << " -> " << std::get<SumsFileError>(read).message;
  }
}

}  // namespace
}  // namespace msdisf
