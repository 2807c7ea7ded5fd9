// The sums file reads back to the same bits; a file cut short, changed by
// hand or of another kind gets one line naming where.
#include "io/sums_file.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <string>

namespace msdisf {
namespace {

LagSums example() {
  LagSums s;
  s.estimator = PairRule::kWindow;
  s.wave_numbers = {0.1, 1.0 / 3.0};
  s.lag = {1, 2, 7};
  s.dt = 0.05;
  s.pairs = {10, 8, 0};
  s.s1 = {0.1, -1e-300, 0.0};
  s.s2 = {1.0 / 3.0, 2e300, 0.0};
  s.s3 = {-5.5, 3.0, 0.0};
  s.s4 = {7.0, std::nextafter(1.0, 2.0), 0.0};
  for (auto* group : {&s.cos_x, &s.cos_y, &s.cos_r, &s.sin_x, &s.sin_y, &s.sin_r}) {
    group->assign(2, {0.999999999999, -0.25, 0.0});
  }
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

TEST(SumsFile, ReadsBackTheSameBits) {
  const LagSums written = example();
  const auto read = read_sums_file(text_of(written), "unused");
  ASSERT_TRUE(std::holds_alternative<LagSums>(read)) << std::get<SumsFileError>(read).message;
  const LagSums& back = std::get<LagSums>(read);
  EXPECT_EQ(text_of(back), text_of(written));
  EXPECT_EQ(back.lag, written.lag);
  EXPECT_EQ(back.pairs, written.pairs);
  for (std::size_t r = 0; r < 3; ++r) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(back.s4[r]), std::bit_cast<std::uint64_t>(written.s4[r]));
    EXPECT_EQ(std::bit_cast<std::uint64_t>(back.cos_x[1][r]), std::bit_cast<std::uint64_t>(written.cos_x[1][r]));
  }
  EXPECT_EQ(back.particles[0].id, written.particles[0].id);
  EXPECT_EQ(back.particles[1].id, written.particles[1].id);
  EXPECT_EQ(back.sources, written.sources);
  EXPECT_EQ(back.estimator, PairRule::kWindow);
}

TEST(SumsFile, BrokenFilesGetOneLineNamingWhere) {
  const std::string good = text_of(example());
  const std::size_t rows_end = good.find("# particle keys");
  std::string changed_header = good;
  changed_header.replace(changed_header.find(",isf"), 4, ",xyz");
  std::string bad_number = good;
  bad_number.replace(bad_number.find("-5.5"), 4, "-5x5");
  const std::pair<std::string, const char*> cases[] = {
      {good.substr(0, good.rfind('\n', rows_end - 2) + 1), "the file ends after 2 of 3 rows"},
      {good.substr(0, good.size() - 6), "no '# end' line: the file is not whole"},
      {"lag\tpairs\n1\t2\n", "line 1: not a sums file of this version"},
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
