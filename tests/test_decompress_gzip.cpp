// gzip data damaged in its header, deflate data and trailer: the failure
// and its words are zlib's whichever inflate the library was built with
// (ISA-L's or zlib's), also when the raw source hands out a byte at a time.
#define ZLIB_CONST
#include <gtest/gtest.h>
#include <zlib.h>

#include <memory>
#include <string>

#include "gzip_data.h"
#include "textio/textio.h"

namespace pds {
namespace {

std::string with_byte(std::string s, std::size_t at, int xor_mask) {
  s[at] = static_cast<char>(s[at] ^ xor_mask);
  return s;
}

// The member with a header CRC (FHCRC): the low 16 bits of the CRC32 of
// the 10 header bytes, plus `delta`.
std::string with_header_crc(std::string s, unsigned delta) {
  s[3] = static_cast<char>(s[3] | 2);
  const auto crc =
      static_cast<unsigned>(crc32(0, reinterpret_cast<const Bytef*>(s.data()), 10) + delta);
  return s.substr(0, 10) + static_cast<char>(crc & 0xff) + static_cast<char>(crc >> 8 & 0xff) +
         s.substr(10);
}

// Memory handed out `step` bytes per read at most.
class Steps final : public ByteSource {
 public:
  Steps(std::string data, std::size_t step) : data_(std::move(data)), step_(step) {}
  std::size_t read(char* buf, std::size_t n) override {
    n = std::min({n, step_, data_.size() - pos_});
    data_.copy(buf, n, pos_);
    pos_ += n;
    return n;
  }

 private:
  std::string data_;
  std::size_t step_, pos_ = 0;
};

TEST(GzipData, DamageIsToldInZlibsWords) {
  std::string text;
  for (int i = 0; text.size() < 200000; ++i) text += std::to_string(i * 7919 % 100003) + "\n";
  const std::string g = gzip(text);
  const struct {
    const char* name;
    std::string data;
    int failure;  // 0: read back whole
    const char* cause;
  } rows[] = {
      {"whole", g, 0, ""},
      {"a header CRC", with_header_crc(g, 0), 0, ""},
      {"a wrong header CRC", with_header_crc(g, 1), 64, " (header crc mismatch)"},
      {"reserved flags", with_byte(g, 3, 0x80), 64, " (unknown header flags set)"},
      {"method 7", with_byte(g, 2, 0x0f), 64, " (unknown compression method)"},
      {"block type 3", with_byte(g, 10, ~g[10] & 0x06), 64, " (invalid block type)"},
      {"wrong CRC", with_byte(g, g.size() - 8, 1), 64, " (incorrect data check)"},
      {"wrong length", with_byte(g, g.size() - 1, 1), 64, " (incorrect length check)"},
      {"a second member without signature", g + "junk", 64, " (incorrect header check)"},
      {"a second member's first byte only", g + "\x1f", 24, ""},
      {"cut in the trailer", g.substr(0, g.size() - 3), 24, ""},
  };
  for (const auto& r : rows) {
    for (std::size_t step : {std::size_t{1}, std::string::npos}) {
      SCOPED_TRACE(std::string(r.name) + ", raw read " + std::to_string(step) + " bytes at a time");
      auto source = decompressed(std::make_unique<Steps>(r.data, step));
      std::string out, piece(1 << 16, '\0');
      int failure = 0;
      std::string cause;
      try {
        while (std::size_t n = source->read(piece.data(), piece.size())) out.append(piece, 0, n);
      } catch (const Failure& f) {
        failure = f.number();
        cause = f.detail().cause;
      }
      EXPECT_EQ(failure, r.failure);
      const std::string want = r.failure == 0 ? ""
                               : r.failure == 24
                                   ? "the gzip data ends early"
                                   : std::string("the gzip data is corrupt") + r.cause;
      EXPECT_EQ(cause, want);
      EXPECT_TRUE(r.failure != 0 || out == text);
    }
  }
}

}  // namespace
}  // namespace pds
