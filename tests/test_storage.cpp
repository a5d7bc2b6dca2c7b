// Doubles: grown step by step across the sizes where its memory changes
// kind (heap block, mapping of its own, mapping of huge pages), every value
// written is still there, and what release() hands out is given back.
#include <gtest/gtest.h>

#include <cstddef>

#include "doscar/doscar.h"

namespace pds {
namespace {

TEST(Doubles, KeepTheirValuesWhileTheyGrow) {
  constexpr std::size_t kKiB = 1024 / sizeof(double);
  const struct {
    const char* name;
    std::size_t step, last;  // doubles added per resize, and the size reached
  } rows[] = {
      {"row by row over the heap's end", 33, 300 * kKiB},
      {"from one double to a huge-page mapping", 1, 3 * 1024 * kKiB},
      {"rows of a wide block, over two huge pages", 4097, 5 * 1024 * kKiB},
      {"at once", 6 * 1024 * kKiB, 6 * 1024 * kKiB},
      // 256 KiB: the least array with a mapping of its own, freed by munmap
      {"a double under 256 KiB at once", 256 * kKiB - 1, 256 * kKiB - 1},
      {"256 KiB at once", 256 * kKiB, 256 * kKiB},
      {"a double over 256 KiB at once", 256 * kKiB + 1, 256 * kKiB + 1},
      {"over 256 KiB a double at a time", 1, 256 * kKiB + 1},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    Doubles d;
    std::size_t n = 0;
    while (n < r.last) {
      const std::size_t next = std::min(n + r.step, r.last);
      d.resize(next);
      for (; n < next; ++n) d.data()[n] = static_cast<double>(n) * 0.5;
    }
    ASSERT_EQ(d.size(), r.last);
    std::size_t wrong = 0;
    for (std::size_t k = 0; k < r.last; ++k) wrong += d.data()[k] != static_cast<double>(k) * 0.5;
    EXPECT_EQ(wrong, 0u);
    Doubles moved = std::move(d);
    EXPECT_EQ(d.data(), nullptr);
    EXPECT_EQ(moved.data()[r.last - 1], static_cast<double>(r.last - 1) * 0.5);
    std::size_t bytes = 0;
    double* p = moved.release(bytes);
    EXPECT_GE(bytes, r.last * sizeof(double));
    EXPECT_EQ(moved.data(), nullptr);
    free_doubles(p, bytes);
  }
}

}  // namespace
}  // namespace pds
