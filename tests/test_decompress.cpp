// Compressed input: a sample DOSCAR as gzip (one member and several), xz and
// bzip2 data, compressed here with the libraries, read back line by line
// through decompressed(), whole, cut, corrupted, plain and empty.
#define ZLIB_CONST
#include <bzlib.h>
#include <gtest/gtest.h>
#include <lzma.h>
#include <zlib.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "gzip_data.h"
#include "textio/textio.h"

namespace pds {
namespace {

std::string sample(const char* name) {
  std::ifstream in(std::string(PDSPLIT_SAMPLES) + "/" + name, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string xz(std::string_view text) {
  std::string out(lzma_stream_buffer_bound(text.size()), '\0');
  std::size_t size = 0;
  EXPECT_EQ(lzma_easy_buffer_encode(6, LZMA_CHECK_CRC64, nullptr,
                                    reinterpret_cast<const std::uint8_t*>(text.data()), text.size(),
                                    reinterpret_cast<std::uint8_t*>(out.data()), &size, out.size()),
            LZMA_OK);
  out.resize(size);
  return out;
}

std::string bzip2(std::string_view text) {
  std::string in(text);
  std::string out(text.size() + text.size() / 100 + 600, '\0');
  auto size = static_cast<unsigned>(out.size());
  EXPECT_EQ(BZ2_bzBuffToBuffCompress(out.data(), &size, in.data(), static_cast<unsigned>(in.size()),
                                     9, 0, 0),
            BZ_OK);
  out.resize(size);
  return out;
}

std::string cut(std::string s) {
  return s.substr(0, s.size() / 2);
}
std::string flipped(std::string s) {
  s[s.size() / 2] = static_cast<char>(s[s.size() / 2] ^ 0x55);
  return s;
}

// xz data whose stored block check (the CRC64 in the 8 bytes before the
// index, which the footer's backward size locates) has one bit flipped.
std::string bad_check(std::string s) {
  std::uint32_t backward = 0;
  for (int k = 3; k >= 0; --k) {
    backward =
        backward << 8 | static_cast<unsigned char>(s[s.size() - 8 + static_cast<std::size_t>(k)]);
  }
  const std::size_t index = s.size() - 12 - (std::size_t{backward} + 1) * 4;
  s[index - 1] = static_cast<char>(s[index - 1] ^ 0x01);
  return s;
}

std::vector<std::string> lines_of(std::string_view text) {
  std::vector<std::string> lines;
  for (std::size_t p = 0; p < text.size();) {
    std::size_t nl = std::min(text.find('\n', p), text.size());
    lines.emplace_back(text.substr(p, nl - p));
    p = nl + 1;
  }
  return lines;
}

// Memory handed out `step` bytes per read at most, with the read error 39
// (EIO) at byte `fail_at`.
class Trickle final : public ByteSource {
 public:
  Trickle(const std::string& data, std::size_t step, std::size_t fail_at)
      : data_(data), step_(step), fail_at_(fail_at) {}
  std::size_t read(char* buf, std::size_t n) override {
    if (pos_ == fail_at_) throw Failure(kReadError, kUnitInternal, {}, EIO);
    n = std::min({n, step_, data_.size() - pos_, fail_at_ - pos_});
    data_.copy(buf, n, pos_);
    pos_ += n;
    return n;
  }

 private:
  const std::string& data_;
  std::size_t step_, fail_at_, pos_ = 0;
};

struct Row {
  const char* name = "";
  std::string data = {};                     // what the raw source holds
  std::string compression = {};              // what decompressed() recognises
  int failure = 0;                           // the failure that ends the read, or 0
  const char* cause = "";                    // part of its detail().cause
  std::size_t raw_step = std::string::npos;  // bytes per read of the raw source
  std::size_t fail_at = std::string::npos;   // a read error of the raw source there
  std::size_t read_size = 0;                 // bytes per read of the text; 0: lines through InFile
  std::size_t stop_after = 0;                // lines read before the source is dropped; 0: all
  const std::string* text = nullptr;         // the lines expected; nullptr: the sample
};

struct Outcome {
  std::string compression;
  std::vector<std::string> lines;
  int failure = 0, os_error = 0;
  std::string cause;
  std::int64_t line = 0;
};

Outcome read_back(const Row& r) {
  Outcome o;
  auto source =
      decompressed(std::make_unique<Trickle>(r.data, r.raw_step, r.fail_at), &o.compression);
  if (r.read_size > 0) {
    std::string text, piece(r.read_size, '\0');
    while (std::size_t n = source->read(piece.data(), r.read_size)) text.append(piece, 0, n);
    o.lines = lines_of(text);
    return o;
  }
  InFile f(kUnitDoscar, "x.gz", std::move(source));
  try {
    std::string_view l;
    while ((r.stop_after == 0 || o.lines.size() < r.stop_after) && f.next(l))
      o.lines.emplace_back(l);
  } catch (const Failure& e) {
    EXPECT_EQ(e.file(), "x.gz");
    o.failure = e.number();
    o.os_error = e.os_error();
    o.cause = e.detail().cause;
    o.line = e.detail().line;
  }
  return o;
}

TEST(Decompressed, ReadsBackTheTextOrSaysWhereAndWhyItStops) {
  const std::string text = sample("spin-l-1atom.DOSCAR");
  const std::string part1 = text.substr(0, text.size() / 3), part2 = text.substr(text.size() / 3);
  // Over the queue's few MiB, so that its producer waits on a full queue; a
  // short period inside deflate's window keeps compressing it quick.
  const std::string small = sample("nonspin-lm-4atoms-nedos10.DOSCAR");
  std::string big;
  while (big.size() < (std::size_t{8} << 20)) big += small;
  const std::string tiny = "\x1f", empty;
  const Row rows[] = {
      {"gzip", gzip(text), "gzip"},
      {.name = "gzip, raw read 1 byte at a time",
       .data = gzip(text),
       .compression = "gzip",
       .raw_step = 1},
      {.name = "gzip, text read 1 byte at a time",
       .data = gzip(text),
       .compression = "gzip",
       .read_size = 1},
      {"two gzip members, a line across them", gzip(part1) + gzip(part2), "gzip"},
      {.name = "three gzip members, the middle one empty, raw read 3 bytes at a time",
       .data = gzip(part1) + gzip(empty) + gzip(part2),
       .compression = "gzip",
       .raw_step = 3},
      {.name = "gzip members, each line its own",
       .data =
           [&] {
             std::string members;
             for (const std::string& l : lines_of(small)) members += gzip(l + "\n");
             return members;
           }(),
       .compression = "gzip",
       .text = &small},
      {"gzip, zero padding after it", gzip(text) + std::string(512, '\0'), "gzip"},
      {"gzip, other bytes after it", gzip(text) + "junk", "gzip", 64, "gzip data is corrupt"},
      {"gzip cut mid-stream", cut(gzip(text)), "gzip", 24, "the gzip data ends early"},
      {"gzip cut after its signature", gzip(text).substr(0, 2), "gzip", 24, "ends early"},
      {"gzip with a flipped byte", flipped(gzip(text)), "gzip", 64, "the gzip data is corrupt"},
      {.name = "gzip, raw read error",
       .data = gzip(text),
       .compression = "gzip",
       .failure = 39,
       .fail_at = 1000},
      {"xz", xz(text), "xz"},
      {.name = "two xz streams, raw read 7 bytes at a time",
       .data = xz(part1) + xz(part2),
       .compression = "xz",
       .raw_step = 7},
      {"xz cut mid-stream", cut(xz(text)), "xz", 24, "the xz data ends early"},
      {"xz with a flipped byte", flipped(xz(text)), "xz", 64, "the xz data is corrupt"},
      {"xz with a wrong block check", bad_check(xz(text)), "xz", 64, "the xz data is corrupt"},
      {"bzip2", bzip2(text), "bzip2"},
      {.name = "two bzip2 streams, raw read 5 bytes at a time",
       .data = bzip2(part1) + bzip2(part2),
       .compression = "bzip2",
       .raw_step = 5},
      {"bzip2 cut mid-stream", cut(bzip2(text)), "bzip2", 24, "the bzip2 data ends early"},
      {"bzip2 with a flipped byte", flipped(bzip2(text)), "bzip2", 64, "the bzip2 data is corrupt"},
      {"plain text", text, ""},
      {.name = "plain text, raw read 1 byte at a time", .data = text, .raw_step = 1},
      {.name = "a gzip signature's first byte only", .data = tiny, .raw_step = 1, .text = &tiny},
      {.name = "empty", .data = empty, .text = &empty},
      {.name = "stop after the first line",
       .data = gzip(big),
       .compression = "gzip",
       .stop_after = 1,
       .text = &big},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const Outcome o = read_back(r);
    EXPECT_EQ(o.compression, r.compression);
    EXPECT_EQ(o.failure, r.failure);
    EXPECT_NE(o.cause.find(r.cause), std::string::npos) << o.cause;
    EXPECT_EQ(o.os_error, r.failure == kReadError ? EIO : 0);
    std::vector<std::string> want = lines_of(r.text ? *r.text : text);
    if (r.stop_after > 0) want.resize(r.stop_after);
    if (r.failure == 0) {
      EXPECT_EQ(o.lines, want);
      continue;
    }
    // The failure names the line after the last one returned.
    EXPECT_EQ(o.line, static_cast<std::int64_t>(o.lines.size()) + 1);
    if (r.failure == kConversion) continue;  // bytes before a failed check may be wrong
    ASSERT_LT(o.lines.size(), want.size());
    want.resize(o.lines.size());
    EXPECT_EQ(o.lines, want);
  }
}

}  // namespace
}  // namespace pds
