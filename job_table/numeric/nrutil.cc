#include "job_table/numeric/nrutil.h"

#include <cstdio>
#include <cstdlib>

namespace msdisf {

void nrerror(const char* text) {
  std::fputs("Numeric support run-time error...\n", stderr);
  std::fprintf(stderr, "%s\n", text);
  std::fputs("...now exiting to system...\n", stderr);
  std::exit(1);
}

namespace {

enum class Fill { kUntouched, kZeroed };

// Byte counts are formed in signed 64-bit arithmetic as the callers' bounds
// give them. A negative count (a matrix with -1 columns) converts to a size
// no allocator can supply, so it ends in the caller's failure message.
void* take_block(long bytes, Fill fill, const char* failure) {
  const auto size = static_cast<std::size_t>(bytes);
  void* block = fill == Fill::kZeroed ? std::calloc(1, size) : std::malloc(size);
  if (block == nullptr) nrerror(failure);
  return block;
}

template <typename T>
T* make_vector(long lo, long hi, Fill fill, const char* failure) {
  // n + 1 elements: the spare slot in front of the range.
  const long bytes = (hi - lo) * static_cast<long>(sizeof(T)) + 2 * static_cast<long>(sizeof(T));
  T* block = static_cast<T*>(take_block(bytes, fill, failure));
  return block + 1 - lo;
}

template <typename T>
void release_vector(T* v, long lo) {
  std::free(v + lo - 1);
}

template <typename T>
T** make_matrix(long row_lo, long row_hi, long col_lo, long col_hi, Fill fill) {
  const long rows = row_hi - row_lo + 1;
  const long cols = col_hi - col_lo + 1;
  const long pointer_bytes = (row_hi - row_lo) * 8 + 16;
  T** m = static_cast<T**>(take_block(pointer_bytes, Fill::kUntouched, "allocation failure 1 in matrix()"));
  m += 1 - row_lo;
  const long element_bytes = rows * cols * static_cast<long>(sizeof(T)) + static_cast<long>(sizeof(T));
  T* elements = static_cast<T*>(take_block(element_bytes, fill, "allocation failure 2 in matrix()"));
  m[row_lo] = elements + 1 - col_lo;
  for (long i = row_lo + 1; i <= row_hi; ++i) m[i] = m[i - 1] + cols;
  return m;
}

template <typename T>
void release_matrix(T** m, long row_lo, long col_lo) {
  std::free(m[row_lo] + col_lo - 1);
  std::free(m + row_lo - 1);
}

template <typename T>
T*** make_3d(long row_lo, long row_hi, long col_lo, long col_hi, long dep_lo, long dep_hi) {
  const long rows = row_hi - row_lo + 1;
  const long cols = col_hi - col_lo + 1;
  const long depth = dep_hi - dep_lo + 1;
  T*** t = static_cast<T***>(take_block((rows + 1) * 8, Fill::kUntouched, "allocation failure 1 in f3tensor()"));
  t += 1 - row_lo;
  T** row_pointers =
      static_cast<T**>(take_block((rows * cols + 1) * 8, Fill::kUntouched, "allocation failure 2 in f3tensor()"));
  t[row_lo] = row_pointers + 1 - col_lo;
  const long element_bytes = (rows * cols * depth + 1) * static_cast<long>(sizeof(T));
  T* elements = static_cast<T*>(take_block(element_bytes, Fill::kUntouched, "allocation failure 3 in f3tensor()"));
  t[row_lo][col_lo] = elements + 1 - dep_lo;

  for (long j = col_lo + 1; j <= col_hi; ++j) t[row_lo][j] = t[row_lo][j - 1] + depth;
  for (long i = row_lo + 1; i <= row_hi; ++i) {
    t[i] = t[i - 1] + cols;
    t[i][col_lo] = t[i - 1][col_lo] + cols * depth;
    for (long j = col_lo + 1; j <= col_hi; ++j) t[i][j] = t[i][j - 1] + depth;
  }
  return t;
}

template <typename T>
void release_3d(T*** t, long row_lo, long col_lo, long dep_lo) {
  std::free(t[row_lo][col_lo] + dep_lo - 1);
  std::free(t[row_lo] + col_lo - 1);
  std::free(t + row_lo - 1);
}

// Both views own only a block of row pointers with a spare slot in front.
float** make_view_pointers(long rows, long first_row, const char* failure) {
  float** view = static_cast<float**>(take_block((rows + 1) * 8, Fill::kUntouched, failure));
  return view + 1 - first_row;
}

}  // namespace

float* nrvector(long lo, long hi) {
  return make_vector<float>(lo, hi, Fill::kUntouched, "allocation failure in vector()");
}
int* ivector(long lo, long hi) { return make_vector<int>(lo, hi, Fill::kUntouched, "allocation failure in ivector()"); }
unsigned char* cvector(long lo, long hi) {
  return make_vector<unsigned char>(lo, hi, Fill::kUntouched, "allocation failure in cvector()");
}
unsigned long* lvector(long lo, long hi) {
  return make_vector<unsigned long>(lo, hi, Fill::kUntouched, "allocation failure in lvector()");
}
double* dvector(long lo, long hi) {
  return make_vector<double>(lo, hi, Fill::kUntouched, "allocation failure in dvector()");
}
int* ivector_zeroed(long lo, long hi) {
  return make_vector<int>(lo, hi, Fill::kZeroed, "allocation failure in ivector()");
}
unsigned long* lvector_zeroed(long lo, long hi) {
  return make_vector<unsigned long>(lo, hi, Fill::kZeroed, "allocation failure in lvector()");
}
double* dvector_zeroed(long lo, long hi) {
  return make_vector<double>(lo, hi, Fill::kZeroed, "allocation failure in dvector()");
}

float** matrix(long row_lo, long row_hi, long col_lo, long col_hi) {
  return make_matrix<float>(row_lo, row_hi, col_lo, col_hi, Fill::kUntouched);
}
double** dmatrix(long row_lo, long row_hi, long col_lo, long col_hi) {
  return make_matrix<double>(row_lo, row_hi, col_lo, col_hi, Fill::kUntouched);
}
int** imatrix(long row_lo, long row_hi, long col_lo, long col_hi) {
  return make_matrix<int>(row_lo, row_hi, col_lo, col_hi, Fill::kUntouched);
}
double** dmatrix_zeroed(long row_lo, long row_hi, long col_lo, long col_hi) {
  return make_matrix<double>(row_lo, row_hi, col_lo, col_hi, Fill::kZeroed);
}

float** submatrix(float** source, long old_row_lo, long old_row_hi, long old_col_lo, long /*old_col_hi*/,
                  long new_row_lo, long new_col_lo) {
  float** view = make_view_pointers(old_row_hi - old_row_lo + 1, new_row_lo, "allocation failure in submatrix()");
  for (long i = old_row_lo; i <= old_row_hi; ++i) {
    view[new_row_lo + (i - old_row_lo)] = source[i] + (old_col_lo - new_col_lo);
  }
  return view;
}

float** convert_matrix(float* block, long row_lo, long row_hi, long col_lo, long col_hi) {
  const long cols = col_hi - col_lo + 1;
  float** view = make_view_pointers(row_hi - row_lo + 1, row_lo, "allocation failure in convert_matrix()");
  view[row_lo] = block - col_lo;
  for (long i = row_lo + 1; i <= row_hi; ++i) view[i] = view[i - 1] + cols;
  return view;
}

float*** f3tensor(long row_lo, long row_hi, long col_lo, long col_hi, long dep_lo, long dep_hi) {
  return make_3d<float>(row_lo, row_hi, col_lo, col_hi, dep_lo, dep_hi);
}
double*** d3tensor(long row_lo, long row_hi, long col_lo, long col_hi, long dep_lo, long dep_hi) {
  return make_3d<double>(row_lo, row_hi, col_lo, col_hi, dep_lo, dep_hi);
}

void free_nrvector(float* v, long lo, long /*hi*/) { release_vector(v, lo); }
void free_ivector(int* v, long lo, long /*hi*/) { release_vector(v, lo); }
void free_cvector(unsigned char* v, long lo, long /*hi*/) { release_vector(v, lo); }
void free_lvector(unsigned long* v, long lo, long /*hi*/) { release_vector(v, lo); }
void free_dvector(double* v, long lo, long /*hi*/) { release_vector(v, lo); }

void free_matrix(float** m, long row_lo, long /*row_hi*/, long col_lo, long /*col_hi*/) {
  release_matrix(m, row_lo, col_lo);
}
void free_dmatrix(double** m, long row_lo, long /*row_hi*/, long col_lo, long /*col_hi*/) {
  release_matrix(m, row_lo, col_lo);
}
void free_imatrix(int** m, long row_lo, long /*row_hi*/, long col_lo, long /*col_hi*/) {
  release_matrix(m, row_lo, col_lo);
}

void free_submatrix(float** view, long row_lo, long /*row_hi*/, long /*col_lo*/, long /*col_hi*/) {
  std::free(view + row_lo - 1);
}
void free_convert_matrix(float** view, long row_lo, long /*row_hi*/, long /*col_lo*/, long /*col_hi*/) {
  std::free(view + row_lo - 1);
}

void free_f3tensor(float*** t, long row_lo, long /*row_hi*/, long col_lo, long /*col_hi*/, long dep_lo,
                   long /*dep_hi*/) {
  release_3d(t, row_lo, col_lo, dep_lo);
}
void free_d3tensor(double*** t, long row_lo, long /*row_hi*/, long col_lo, long /*col_hi*/, long dep_lo,
                   long /*dep_hi*/) {
  release_3d(t, row_lo, col_lo, dep_lo);
}

}  // namespace msdisf
