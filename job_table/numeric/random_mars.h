// Seeded pseudo-random numbers: a subtractive lagged generator over a table
// of 97 values combined with an arithmetic sequence for uniform deviates in
// [0, 1), and the polar method with one cached value for normal deviates.
//
// Every table entry, the sequence terms and every uniform deviate are exact
// multiples of 2^-24 in [0, 1), so each operation is exact in double
// precision: a seed gives the same sequence bit for bit on every machine.
#pragma once

namespace msdisf {

class RanMars {
 public:
  /// Every int is accepted; seeds s and s + 177*177*30082 give the same sequence.
  explicit RanMars(int seed);
  ~RanMars();
  RanMars(const RanMars&) = delete;
  RanMars& operator=(const RanMars&) = delete;

  /// A uniform deviate in [0, 1); 0 itself can occur.
  double uniform();
  /// A standard normal deviate. Values come in pairs: every second call
  /// returns the cached partner without drawing.
  double gaussian();

  /// Copies the whole state out; table needs 98 entries, entries 1..97 are written.
  void save_state(int& lag_i_out, int& lag_j_out, double& seq_value_out, double* table, int& gauss_ready_out,
                  double& gauss_cached_out) const;
  /// Puts a state produced by save_state back; entries 1..97 of table are read.
  void load_state(int lag_i_in, int lag_j_in, double seq_value_in, const double* table, int gauss_ready_in,
                  double gauss_cached_in);

 private:
  int gauss_ready;
  double gauss_cached;
  double* lag_table;
  int lag_i;
  int lag_j;
  double seq_value;
  double seq_step;
  double seq_modulus;
};

}  // namespace msdisf
