#include "job_table/state/analysis_state.h"

#include "job_table/numeric/nrutil.h"

namespace msdisf {

namespace {
constexpr long kLastRow = kScaleCount - 1;
}

TrajectoryNumbers::TrajectoryNumbers(long capacity) : bits_(lvector_zeroed(0, capacity - 1)) {}

TrajectoryNumbers::~TrajectoryNumbers() { free_lvector(bits_, 0, 0); }

// Members are created in the start-up order: X, Y, T, TRAJNUMS, the per-lag
// vectors, then the scattering matrices.
AnalysisState::AnalysisState(long capacity_)
    : capacity(capacity_),
      N(static_cast<int>(capacity_)),
      X(dvector_zeroed(0, capacity_ - 1)),
      Y(dvector_zeroed(0, capacity_ - 1)),
      T(ivector_zeroed(0, capacity_ - 1)),
      TRAJNUMS(capacity_),
      md(dvector_zeroed(0, capacity_ - 1)),
      msd(dvector_zeroed(0, capacity_ - 1)),
      mcd(dvector_zeroed(0, capacity_ - 1)),
      mqd(dvector_zeroed(0, capacity_ - 1)),
      skewness(dvector_zeroed(0, capacity_ - 1)),
      ngp(dvector_zeroed(0, capacity_ - 1)),
      msdcounter(dvector_zeroed(0, capacity_ - 1)),
      isfx(dmatrix_zeroed(0, kLastRow, 0, capacity_ - 1)),
      isfy(dmatrix_zeroed(0, kLastRow, 0, capacity_ - 1)),
      isfr(dmatrix_zeroed(0, kLastRow, 0, capacity_ - 1)),
      isfx_im(dmatrix_zeroed(0, kLastRow, 0, capacity_ - 1)),
      isfy_im(dmatrix_zeroed(0, kLastRow, 0, capacity_ - 1)),
      isfr_im(dmatrix_zeroed(0, kLastRow, 0, capacity_ - 1)) {}

AnalysisState::~AnalysisState() {
  release_accumulators();
  for (double** m : {isfx, isfy, isfr, isfx_im, isfy_im, isfr_im}) free_dmatrix(m, 0, kLastRow, 0, capacity - 1);
  for (double* v : {md, msd, mcd, mqd, skewness, ngp, msdcounter}) free_dvector(v, 0, capacity - 1);
  free_dvector(X, 0, capacity - 1);
  free_dvector(Y, 0, capacity - 1);
  free_ivector(T, 0, capacity - 1);
}

void AnalysisState::create_accumulators(long columns) {
  release_accumulators();
  isfx_accum = dmatrix_zeroed(0, kLastRow, 0, columns - 1);
  isfy_accum = dmatrix_zeroed(0, kLastRow, 0, columns - 1);
  isf_counts = dmatrix_zeroed(0, kLastRow, 0, columns - 1);
  isfr_accum = dmatrix_zeroed(0, kLastRow, 0, columns - 1);
  isfx_im_accum = dmatrix_zeroed(0, kLastRow, 0, columns - 1);
  isfy_im_accum = dmatrix_zeroed(0, kLastRow, 0, columns - 1);
  isfr_im_accum = dmatrix_zeroed(0, kLastRow, 0, columns - 1);
  accum_columns = columns;
}

void AnalysisState::release_accumulators() {
  const auto release = [this](double**& m) {
    if (m != nullptr) free_dmatrix(m, 0, kLastRow, 0, accum_columns - 1);
    m = nullptr;
  };
  release(isfx_accum);
  release(isfy_accum);
  release(isf_counts);
  release(isfr_accum);
  release(isfx_im_accum);
  release(isfy_im_accum);
  release(isfr_im_accum);
  accum_columns = 0;
}

}  // namespace msdisf
