// Column-sized numpy arrays on small pages while an estimation runs.
//
// numpy advises the kernel to back every large array with 2 MB pages. On a
// virtual machine that hands freed memory back to its host (free page
// reporting), such a page is about five times slower to touch the first time
// than small pages are: 0.3 against 1.6 GB/s measured on a 2-core cloud
// machine, where the arrays an estimation makes and fills once each (the
// sample's copies, exported columns, results) then took a quarter of a
// 10M-row least-squares fit. The arrays are the same either way; only how the
// kernel backs them differs, and they are read in order, where small pages
// cost next to nothing. The package's own work buffers keep their 2 MB pages
// (core/large_pages.hpp): they are reused across passes.
#pragma once

#include <nanobind/nanobind.h>

namespace korvald::py {

// While one lives, numpy makes new arrays without the huge-page advice; the
// caller's setting comes back when the last one (of nested or concurrent
// estimations) goes. Create and destroy it with the GIL held. Does nothing
// where numpy does not offer the setting.
class SmallPageArrays {
 public:
  SmallPageArrays();
  ~SmallPageArrays();
  SmallPageArrays(const SmallPageArrays&) = delete;
  SmallPageArrays& operator=(const SmallPageArrays&) = delete;

 private:
  bool active_ = false;
};

}  // namespace korvald::py
