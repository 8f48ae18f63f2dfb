// Large work buffers on the kernel's 2 MB pages.
//
// A buffer of millions of rows is mapped afresh on every call (the C library
// hands blocks this large straight back to the kernel when they are freed), so
// its first touch costs one page fault per 4 KB page. Such buffers are mapped
// here on their own, 2 MB aligned and advised to use huge pages, as NumPy
// advises its large arrays: a 10M-row least-squares fit then takes about
// 9,000 page faults instead of 50,000. The kernel still zeroes the pages, and
// memory a virtual machine's host has taken back is no cheaper to touch this
// way (huge pages can even cost more there). Smaller buffers, and systems
// without the advice, take the usual allocator.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <vector>

namespace korvald::core {

// Buffers from this size up are mapped on their own.
constexpr std::size_t kLargeBufferBytes = std::size_t{4} << 20;

// Returns `bytes` of fresh zero-filled memory on 2 MB pages where the system
// offers them; throws std::bad_alloc when the memory cannot be had.
void* map_large_buffer(std::size_t bytes);
void unmap_large_buffer(void* p, std::size_t bytes) noexcept;

#if defined(__linux__)
constexpr bool kMapsLargeBuffers = true;
#else
constexpr bool kMapsLargeBuffers = false;  // every buffer comes from operator new
#endif

template <class T>
struct LargePageAllocator {
  using value_type = T;
  LargePageAllocator() = default;
  template <class U>
  LargePageAllocator(const LargePageAllocator<U>&) noexcept {}  // NOLINT: rebinding converts implicitly

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    if (mapped(n)) return static_cast<T*>(map_large_buffer(n * sizeof(T)));
    return std::allocator<T>().allocate(n);
  }
  void deallocate(T* p, std::size_t n) noexcept {
    if (mapped(n))
      unmap_large_buffer(p, n * sizeof(T));
    else
      std::allocator<T>().deallocate(p, n);
  }

 private:
  static bool mapped(std::size_t n) { return kMapsLargeBuffers && n * sizeof(T) >= kLargeBufferBytes; }
};

template <class T, class U>
bool operator==(const LargePageAllocator<T>&, const LargePageAllocator<U>&) noexcept {
  return true;
}
template <class T, class U>
bool operator!=(const LargePageAllocator<T>&, const LargePageAllocator<U>&) noexcept {
  return false;
}

// A vector whose storage, once large, lives on huge pages.
template <class T>
using LargeVector = std::vector<T, LargePageAllocator<T>>;

}  // namespace korvald::core
