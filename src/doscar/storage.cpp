// Doubles: arrays grown without copying. Small ones live on the heap; from
// kMapped bytes on each has a mapping of its own, which mremap grows by
// moving its pages instead of copying them, so growing never holds two
// copies, and pages not yet written take no memory.
//
// A mapping of 2 MiB or more starts on a 2 MiB boundary and is advised to
// take transparent huge pages: filling a DOSCAR's blocks page by page
// otherwise takes one page fault per 4 kB (about 100,000 for a 400 MB
// block), and the faults cost more than the parsing that fills the pages.
// A mapping that has to move is moved to a 2 MiB boundary too, so that its
// huge pages move whole.
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "doscar/doscar.h"

namespace pds {

namespace {

constexpr std::size_t kPage = 4096;
constexpr std::size_t kHuge = std::size_t{2} << 20;
// Arrays below this many bytes are heap blocks: a mapping of their own
// would cost two system calls and a page fault per page.
constexpr std::size_t kMapped = std::size_t{256} << 10;

std::size_t rounded(std::size_t bytes, std::size_t unit) {
  return (bytes + unit - 1) / unit * unit;
}

// The length of a mapping that holds `bytes`: whole huge pages from 2 MiB.
std::size_t mapping_length(std::size_t bytes) {
  return rounded(bytes, bytes >= kHuge ? kHuge : kPage);
}

void advise_huge(void* p, std::size_t bytes) {
  // Without transparent huge pages this fails, and pages stay small.
  if (bytes >= kHuge) madvise(p, bytes, MADV_HUGEPAGE);
}

// A fresh anonymous mapping of `bytes` (a multiple of the page size), on a
// 2 MiB boundary when it holds huge pages: mapped with room to spare, whose
// ends are cut off.
void* map_aligned(std::size_t bytes) {
  const std::size_t align = bytes >= kHuge ? kHuge : kPage;
  const std::size_t span = bytes + align - kPage;
  void* p = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t aligned = rounded(start, align);
  if (aligned > start) munmap(p, aligned - start);
  const std::size_t tail = span - (aligned - start) - bytes;
  if (tail > 0) munmap(reinterpret_cast<char*>(aligned + bytes), tail);
  return reinterpret_cast<void*>(aligned);
}

// The mapping `data` of `old` bytes grown to `bytes`: in place when the
// addresses after it are free and it starts where its size needs, else
// moved to a fresh aligned place.
void* grow_mapping(void* data, std::size_t old, std::size_t bytes) {
  if (bytes < kHuge || reinterpret_cast<std::uintptr_t>(data) % kHuge == 0) {
    void* p = mremap(data, old, bytes, 0);
    if (p != MAP_FAILED) return p;
  }
  void* target = map_aligned(bytes);  // replaced by the moved pages
  void* p = mremap(data, old, bytes, MREMAP_MAYMOVE | MREMAP_FIXED, target);
  if (p == MAP_FAILED) {
    munmap(target, bytes);
    throw std::bad_alloc();
  }
  return p;
}

}  // namespace

Doubles::~Doubles() {
  free_doubles(data_, bytes_);
}

Doubles::Doubles(Doubles&& o) noexcept
    : data_(std::exchange(o.data_, nullptr)),
      size_(std::exchange(o.size_, 0)),
      bytes_(std::exchange(o.bytes_, 0)) {}

Doubles& Doubles::operator=(Doubles&& o) noexcept {
  if (this != &o) {
    free_doubles(data_, bytes_);
    data_ = std::exchange(o.data_, nullptr);
    size_ = std::exchange(o.size_, 0);
    bytes_ = std::exchange(o.bytes_, 0);
  }
  return *this;
}

void Doubles::resize(std::size_t n) {
  if (n > (~std::size_t{0} / 2) / sizeof(double)) throw std::bad_alloc();
  const std::size_t need = n * sizeof(double);
  if (need > bytes_) {
    // Half as much again: growing row by row takes a few dozen moves.
    const std::size_t grown = std::max(need, bytes_ + bytes_ / 2);
    void* p = nullptr;
    std::size_t length = grown;
    if (grown < kMapped) {
      p = std::realloc(data_, grown);
      if (p == nullptr) throw std::bad_alloc();
    } else {
      length = mapping_length(grown);
      if (bytes_ >= kMapped) {
        p = grow_mapping(data_, bytes_, length);
      } else {
        p = map_aligned(length);
        if (size_ > 0) std::memcpy(p, data_, size_ * sizeof(double));
        std::free(data_);
      }
      advise_huge(p, length);
    }
    data_ = static_cast<double*>(p);
    bytes_ = length;
  }
  size_ = n;
}

double* Doubles::release(std::size_t& bytes) {
  bytes = std::exchange(bytes_, 0);
  size_ = 0;
  return std::exchange(data_, nullptr);
}

void free_doubles(double* data, std::size_t bytes) {
  if (data == nullptr) return;
  if (bytes < kMapped) {
    std::free(data);
  } else {
    munmap(data, bytes);
  }
}

}  // namespace pds
