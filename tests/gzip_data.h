// gzip data of a text, made here with zlib, for the tests of compressed
// input.
#pragma once

#ifndef ZLIB_CONST
#define ZLIB_CONST
#endif
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <string_view>

namespace pds {

// One gzip member of `text`, level 6.
inline std::string gzip(std::string_view text) {
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, text.size()), '\0');
  z.next_in = reinterpret_cast<const Bytef*>(text.data());
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

}  // namespace pds
