// Offset-indexed numeric arrays: vectors, matrices and three-dimensional
// arrays indexed directly with caller-chosen bounds.
//
// Every allocation returns a handle shifted so that handle[lo] is the first
// element of its block. Each block holds one spare entry in front of the
// range (handle[lo - 1]); the family never writes it. Matrices are one
// contiguous row-major element block reached through a block of row
// pointers; three-dimensional arrays add a block of column pointers.
//
// No allocation function writes element memory. The *_zeroed variants take
// their blocks zero-filled from the system (calloc), so very large arrays
// read as zero without being touched; they are released by the same free_*
// functions as the plain ones.
//
// When a block cannot be had, the allocation calls nrerror, which prints
// three lines on standard error and ends the process with status 1.
#pragma once

namespace msdisf {

/// Prints the fatal allocation report to standard error and exits with status 1.
[[noreturn]] void nrerror(const char* text);

/// Vectors over lo..hi (hi == lo - 1 gives an empty vector).
float* nrvector(long lo, long hi);
int* ivector(long lo, long hi);
unsigned char* cvector(long lo, long hi);
unsigned long* lvector(long lo, long hi);
double* dvector(long lo, long hi);
int* ivector_zeroed(long lo, long hi);
unsigned long* lvector_zeroed(long lo, long hi);
double* dvector_zeroed(long lo, long hi);

/// Matrices over row_lo..row_hi x col_lo..col_hi (at least one row and column).
float** matrix(long row_lo, long row_hi, long col_lo, long col_hi);
double** dmatrix(long row_lo, long row_hi, long col_lo, long col_hi);
int** imatrix(long row_lo, long row_hi, long col_lo, long col_hi);
double** dmatrix_zeroed(long row_lo, long row_hi, long col_lo, long col_hi);

/// A view of rows old_row_lo..old_row_hi of source, re-indexed so that
/// view[new_row_lo][new_col_lo] is source[old_row_lo][old_col_lo].
/// old_col_hi is accepted and not used. Only the row pointers are owned.
float** submatrix(float** source, long old_row_lo, long old_row_hi, long old_col_lo, long old_col_hi, long new_row_lo,
                  long new_col_lo);
/// A matrix view of a caller's contiguous row-major block of floats.
float** convert_matrix(float* block, long row_lo, long row_hi, long col_lo, long col_hi);

/// Three-dimensional arrays over rows x cols x depth, one contiguous element block.
float*** f3tensor(long row_lo, long row_hi, long col_lo, long col_hi, long dep_lo, long dep_hi);
double*** d3tensor(long row_lo, long row_hi, long col_lo, long col_hi, long dep_lo, long dep_hi);

// Release functions take the handle and the bounds it was created with;
// only the lower bounds are used.
void free_nrvector(float* v, long lo, long hi);
void free_ivector(int* v, long lo, long hi);
void free_cvector(unsigned char* v, long lo, long hi);
void free_lvector(unsigned long* v, long lo, long hi);
void free_dvector(double* v, long lo, long hi);
void free_matrix(float** m, long row_lo, long row_hi, long col_lo, long col_hi);
void free_dmatrix(double** m, long row_lo, long row_hi, long col_lo, long col_hi);
void free_imatrix(int** m, long row_lo, long row_hi, long col_lo, long col_hi);
void free_submatrix(float** view, long row_lo, long row_hi, long col_lo, long col_hi);
void free_convert_matrix(float** view, long row_lo, long row_hi, long col_lo, long col_hi);
void free_f3tensor(float*** t, long row_lo, long row_hi, long col_lo, long col_hi, long dep_lo, long dep_hi);
void free_d3tensor(double*** t, long row_lo, long row_hi, long col_lo, long col_hi, long dep_lo, long dep_hi);

}  // namespace msdisf
