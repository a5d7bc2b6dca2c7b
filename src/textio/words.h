// words: eight or four characters handled as one integer, the first
// character in the low byte on every byte order, for the fast field paths.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace pds {

// Loads and stores in memory order. On a little-endian machine these are
// plain copies; on a big-endian one the bytes are swapped, so that the masks
// and shifts of the fast paths see the same word on both.
inline std::uint64_t load8(const char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

inline std::uint32_t load4(const char* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}

inline void store8(char* p, std::uint64_t v) {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  std::memcpy(p, &v, 8);
}

inline void store4(char* p, std::uint32_t v) {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  std::memcpy(p, &v, 4);
}

static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big,
              "mixed byte order is not supported");

}  // namespace pds
