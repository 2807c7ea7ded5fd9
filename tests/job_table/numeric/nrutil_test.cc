// Tests for the offset-indexed array family: index arithmetic, spare slots,
// views, three-dimensional links, releases and the fatal allocation report.
// Every test writes the whole range plus the spare slot, so a block that is
// one element short shows up under the address sanitizer.
#include "job_table/numeric/nrutil.h"

#include <gtest/gtest.h>

namespace msdisf {
namespace {

TEST(OffsetVectors, IndexWithTheCallersBoundsAndKeepASpareSlotInFront) {
  double* v = dvector(0, 9);
  for (long i = -1; i <= 9; ++i) v[i] = static_cast<double>(i);
  EXPECT_EQ(&v[9] - &v[-1], 10);
  free_dvector(v, 0, 9);

  int* w = ivector(-3, 3);
  for (long i = -4; i <= 3; ++i) w[i] = static_cast<int>(i);
  EXPECT_EQ(w[-4], -4);
  EXPECT_EQ(w[3], 3);
  free_ivector(w, -3, 3);

  unsigned char* c = cvector(10, 12);
  for (long i = 9; i <= 12; ++i) c[i] = static_cast<unsigned char>(i);
  free_cvector(c, 10, 12);
  unsigned long* l = lvector(1, 5);
  for (long i = 0; i <= 5; ++i) l[i] = static_cast<unsigned long>(i);
  free_lvector(l, 1, 5);
  float* f = nrvector(2, 4);
  for (long i = 1; i <= 4; ++i) f[i] = 1.0f;
  free_nrvector(f, 2, 4);
}

TEST(OffsetVectors, ReleaseUsesOnlyTheLowerBound) {
  double* v = dvector(0, 9);
  free_dvector(v, 0, 123456);  // any upper bound releases the same block
  double* empty = dvector(5, 4);
  empty[4] = 1.0;  // the spare slot is the whole block
  free_dvector(empty, 5, 4);
}

TEST(OffsetVectors, ZeroedVariantsReadAsZero) {
  double* v = dvector_zeroed(-2, 1000);
  int* w = ivector_zeroed(0, 1000);
  for (long i = -2; i <= 1000; ++i) ASSERT_EQ(v[i], 0.0);
  for (long i = 0; i <= 1000; ++i) ASSERT_EQ(w[i], 0);
  free_dvector(v, -2, 1000);
  free_ivector(w, 0, 1000);
}

TEST(OffsetMatrices, AreOneContiguousRowMajorBlock) {
  const long n = 7;
  double** m = dmatrix(0, 14, 0, n - 1);
  for (long i = 0; i < 14; ++i) EXPECT_EQ(m[i + 1] - m[i], n);
  EXPECT_EQ(&m[14][n - 1] - &m[0][-1], 15 * n);  // last of 15n + 1 entries, spare slot first
  for (long i = 0; i <= 14; ++i) {
    for (long j = 0; j < n; ++j) m[i][j] = static_cast<double>(i * n + j);
  }
  m[0][-1] = -1.0;
  EXPECT_EQ(m[3][2], 3.0 * n + 2.0);
  free_dmatrix(m, 0, 14, 0, n - 1);

  int** single = imatrix(3, 3, 1, 4);
  for (long j = 0; j <= 4; ++j) single[3][j] = 1;
  free_imatrix(single, 3, 3, 1, 4);

  float** shifted = matrix(-2, 2, -1, 1);
  EXPECT_EQ(&shifted[2][1] - &shifted[-2][-1], 14);
  shifted[-2][-2] = 0.0f;
  shifted[2][1] = 0.0f;
  free_matrix(shifted, -2, 2, -1, 1);

  double** zeroed = dmatrix_zeroed(0, 14, 0, 99);
  for (long i = 0; i <= 14; ++i) {
    for (long j = 0; j < 100; ++j) ASSERT_EQ(zeroed[i][j], 0.0);
  }
  free_dmatrix(zeroed, 0, 14, 0, 99);
}

TEST(OffsetMatrices, ViewsShowTheOwnersElements) {
  float block[12];
  for (int e = 0; e < 12; ++e) block[e] = static_cast<float>(e);
  float** m = convert_matrix(block, 1, 3, 1, 4);
  EXPECT_EQ(&m[2][1], &block[4]);
  EXPECT_EQ(&m[3][4], &block[11]);
  free_convert_matrix(m, 1, 3, 1, 4);

  float** a = matrix(1, 5, 1, 7);
  for (long i = 1; i <= 5; ++i) {
    for (long j = 1; j <= 7; ++j) a[i][j] = static_cast<float>(10 * i + j);
  }
  float** view = submatrix(a, 2, 4, 3, 6, 1, 1);
  EXPECT_EQ(&view[1][1], &a[2][3]);
  EXPECT_EQ(&view[3][4], &a[4][6]);
  EXPECT_EQ(view[2][2], 34.0f);
  free_submatrix(view, 1, 3, 1, 4);
  EXPECT_EQ(a[5][7], 57.0f);  // the source survives the view's release
  free_matrix(a, 1, 5, 1, 7);
}

TEST(OffsetTensors, LinkEveryRowAndColumnIntoOneElementBlock) {
  float*** t = f3tensor(1, 2, 1, 3, 1, 4);
  for (long i = 1; i <= 2; ++i) {
    for (long j = 1; j <= 3; ++j) {
      for (long k = 1; k <= 4; ++k) {
        EXPECT_EQ(&t[i][j][k] - &t[1][1][0], 1 + ((i - 1) * 3 + (j - 1)) * 4 + (k - 1));
      }
    }
  }
  EXPECT_EQ(&t[2][3][4] - &t[1][1][0], 24);  // entry 24 of 25
  t[1][1][0] = 0.0f;
  t[2][3][4] = 0.0f;
  free_f3tensor(t, 1, 2, 1, 3, 1, 4);

  double*** d = d3tensor(-1, 0, 0, 1, 5, 6);
  EXPECT_EQ(&d[0][1][6] - &d[-1][0][5], 7);
  d[-1][0][4] = 0.0;
  d[0][1][6] = 0.0;
  free_d3tensor(d, -1, 0, 0, 1, 5, 6);
}

using OffsetArraysDeathTest = ::testing::Test;

TEST_F(OffsetArraysDeathTest, NrerrorPrintsThreeLinesAndExitsWithOne) {
  EXPECT_EXIT(nrerror("something failed"), ::testing::ExitedWithCode(1),
              "^Numeric support run-time error\\.\\.\\.\nsomething failed\n\\.\\.\\.now exiting to system\\.\\.\\.\n$");
}

TEST_F(OffsetArraysDeathTest, ANegativeColumnCountFailsInTheElementBlock) {
  EXPECT_EXIT(dmatrix(0, 14, 0, -2), ::testing::ExitedWithCode(1), "\nallocation failure 2 in matrix\\(\\)\n");
}

TEST_F(OffsetArraysDeathTest, AnImpossibleThirdBlockNamesTheThirdBlock) {
  EXPECT_EXIT(d3tensor(1, 1, 1, 1, 1, 1L << 55), ::testing::ExitedWithCode(1),
              "\nallocation failure 3 in f3tensor\\(\\)\n");
}

}  // namespace
}  // namespace msdisf
