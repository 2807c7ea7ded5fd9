// Large arrays backed by transparent huge pages where the system grants them
// on request. On virtual machines each first touch of a 4 KiB page costs
// microseconds, so that filling a few hundred megabytes spends most of its
// time in page faults; 2 MiB pages take 512 times fewer.
#pragma once

#include <cstddef>
#include <vector>

namespace msdisf::detail {

/// Asks for huge pages over the whole 2 MiB pages inside [data, data + bytes);
/// a hint only, and best before the memory is first touched.
void advise_huge_pages(void* data, std::size_t bytes);

/// v = n copies of value, in memory advised before it is first touched.
template <typename T>
void assign_huge(std::vector<T>& v, std::size_t n, const T& value) {
  if (n > v.capacity()) {
    std::vector<T>().swap(v);
    v.reserve(n);
    advise_huge_pages(v.data(), n * sizeof(T));
  }
  v.assign(n, value);
}

}  // namespace msdisf::detail
