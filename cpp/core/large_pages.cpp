#include "core/large_pages.hpp"

#if defined(__linux__)
#include <sys/mman.h>

#include <cstdint>
#endif

namespace korvald::core {

#if defined(__linux__)

namespace {
constexpr std::size_t kHugePage = std::size_t{2} << 20;
std::size_t whole_pages(std::size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }
}  // namespace

void* map_large_buffer(std::size_t bytes) {
  const std::size_t length = whole_pages(bytes);
  // One huge page more than needed, so that a 2 MB aligned stretch can be kept
  // and the ends given back.
  void* raw = mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
  if (aligned > start) munmap(raw, aligned - start);
  const std::uintptr_t tail = start + length + kHugePage - (aligned + length);
  if (tail > 0) munmap(reinterpret_cast<void*>(aligned + length), tail);
  void* p = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
  madvise(p, length, MADV_HUGEPAGE);  // advice only: small pages serve as well, just slower
#endif
  return p;
}

void unmap_large_buffer(void* p, std::size_t bytes) noexcept { munmap(p, whole_pages(bytes)); }

#else

void* map_large_buffer(std::size_t) { throw std::bad_alloc(); }
void unmap_large_buffer(void*, std::size_t) noexcept {}

#endif

}  // namespace korvald::core
