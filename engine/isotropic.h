// Directions over which the mean of cos(q n.dr) is the isotropic self
// scattering function: J0(q|dr|) in two dimensions, sin(q|dr|)/(q|dr|) in
// three, within a stated bound for every displacement up to a given size.
//
// Two dimensions: M directions at angles pi k / M. By the Jacobi-Anger
// expansion their mean differs from J0(z) (z = q|dr|) by
// 2 sum_{j>=1} (-1)^(jM) J_{2jM}(z) cos(2jM phi), at most
// 2.2 (z/2)^(2M) / (2M)! once that is below 0.1, since |J_n(z)| <=
// (z/2)^n / n!. M is a power of two, so that the directions of smaller M
// are among those of larger M.
// Three dimensions: Gauss-Legendre nodes in cos(theta) times evenly spaced
// phi, exact for spherical harmonics up to degree L; the mean differs from
// j0(z) by at most 2 sum over even l > L of (2l + 1) z^l / (2l + 1)!!.
// Antipodal directions give the same cosine, so only one of each pair is
// kept, with twice the weight.
#pragma once

#include <cstddef>
#include <vector>

namespace msdisf::detail {

struct Direction {
  double n[3];    ///< a unit vector (n[2] = 0 in two dimensions)
  double weight;  ///< the weights of a set add up to 1
  long key;       ///< equal keys: the same direction (two dimensions: the angle pi key / kFinestCount;
                  ///< three: unique to the set's degree and the direction's place in it)
};

/// The finest two-dimensional set: angle keys count in its steps.
inline constexpr long kFinestCount = 1L << 20;

struct DirectionSet {
  std::vector<Direction> directions;
  long order = 0;  ///< M in two dimensions, L in three
  /// The largest q|dr| served within the tolerance (infinite in one dimension).
  double reach = 0.0;
};

/// The fewest directions (the same in every call with the same arguments)
/// whose weighted mean of cos(q n.dr) lies within `tolerance` of the
/// isotropic mean for every |dr| with q|dr| <= reach, or, when that takes
/// more than `most`, the largest set of at most `most` (its reach says what
/// it serves). One dimension: the single direction x.
DirectionSet isotropic_directions(int dimensions, double reach, double tolerance, std::size_t most);

}  // namespace msdisf::detail
