// Doubles: arrays in memory mapped for them alone. A block read from a
// stream grows as its lines arrive; mremap moves the pages instead of
// copying them, so growing never holds two copies, and pages not yet
// written take no memory.
#include <sys/mman.h>

#include <algorithm>
#include <new>
#include <utility>

#include "doscar/doscar.h"

namespace pds {

namespace {

std::size_t page_rounded(std::size_t bytes) {
  constexpr std::size_t kPage = 4096;
  return (bytes + kPage - 1) / kPage * kPage;
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
    const std::size_t grown = page_rounded(std::max(need, bytes_ + bytes_ / 2));
    void* p = data_ == nullptr
                  ? mmap(nullptr, grown, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                  : mremap(data_, bytes_, grown, MREMAP_MAYMOVE);
    if (p == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<double*>(p);
    bytes_ = grown;
  }
  size_ = n;
}

double* Doubles::release(std::size_t& bytes) {
  bytes = std::exchange(bytes_, 0);
  size_ = 0;
  return std::exchange(data_, nullptr);
}

void free_doubles(double* data, std::size_t bytes) {
  if (data != nullptr) munmap(data, bytes);
}

}  // namespace pds
