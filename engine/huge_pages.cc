#include "engine/huge_pages.h"

#include <sys/mman.h>

#include <cstdint>

namespace msdisf::detail {

void advise_huge_pages(void* data, std::size_t bytes) {
  constexpr std::uintptr_t kHugePage = std::uintptr_t{1} << 21;
  constexpr std::uintptr_t kPage = 4096;
  const auto start = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t begin = (start + kHugePage - 1) / kHugePage * kHugePage;
  const std::uintptr_t end = (start + bytes) / kHugePage * kHugePage;
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#ifdef MADV_POPULATE_WRITE
  // Faulting the pages in with one call spares a trap per page; kernels
  // without it refuse the advice, and the pages come on first touch.
  const std::uintptr_t first = (start + kPage - 1) / kPage * kPage;
  const std::uintptr_t last = (start + bytes) / kPage * kPage;
  if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
#endif
}

}  // namespace msdisf::detail
