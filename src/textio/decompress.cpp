// Compressed DOSCAR files: gzip, xz and bzip2 data, recognised by their
// first bytes and decoded with zlib, liblzma and libbz2. The Python module
// reads through this; the program reads plain text only and links none of
// these libraries.
//
// Several streams one after another decode as one text, as gzip, xz and
// bzip2 themselves read them (pigz, pbzip2 and `cat a.gz b.gz` write such
// files). After the last gzip member or bzip2 stream, zero bytes up to the
// end are padding (tape and block devices add it) and are passed over; any
// other byte there has to start a further stream, else the data is corrupt.
// xz has padding rules of its own, which liblzma applies.
#define ZLIB_CONST
#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "textio/decompress.h"

namespace pds {

namespace {

// Compressed bytes are read from the raw source in blocks of this size.
constexpr std::size_t kInBlock = std::size_t{1} << 18;
// One library call writes at most this much: it fits their `unsigned int`.
constexpr std::size_t kMaxStep = std::size_t{1} << 30;
// The longest signature below: how much of a source is looked at first.
constexpr std::size_t kPeek = 6;

enum class Format { kGzip, kXz, kBzip2 };

struct Signature {
  Format format;
  const char* name;
  std::string_view bytes;
};

constexpr Signature kSignatures[] = {
    {Format::kGzip, "gzip", {"\x1f\x8b", 2}},
    {Format::kXz, "xz", {"\xfd\x37\x7a\x58\x5a\x00", 6}},  // FD "7zXZ" 00
    {Format::kBzip2, "bzip2", {"BZh", 3}},
};

// Plain text: the bytes looked at first, then the rest of the raw source.
class Replayed final : public ByteSource {
 public:
  Replayed(std::string head, std::unique_ptr<ByteSource> raw)
      : head_(std::move(head)), raw_(std::move(raw)) {}
  std::size_t read(char* buf, std::size_t n) override {
    if (pos_ == head_.size()) return raw_->read(buf, n);
    n = std::min(n, head_.size() - pos_);
    std::memcpy(buf, head_.data() + pos_, n);
    pos_ += n;
    return n;
  }

 private:
  std::string head_;
  std::size_t pos_ = 0;
  std::unique_ptr<ByteSource> raw_;
};

// What the three decoders share: the compressed input, refilled block by
// block from the raw source, and the loop that calls the library until it
// gives bytes, reaches the end of the data or can go no further.
class Decoder : public ByteSource {
 public:
  Decoder(const char* format, std::string_view head, std::unique_ptr<ByteSource> raw)
      : format_(format), raw_(std::move(raw)), in_(std::max(kInBlock, head.size())) {
    std::memcpy(in_.data(), head.data(), head.size());
    in_end_ = head.size();
  }
  std::size_t read(char* buf, std::size_t n) final;

 protected:
  // One library call on the buffered input: the bytes it wrote to `out`.
  // Sets finished_ at the end of the last stream; calls corrupt() when the
  // library refuses the data.
  virtual std::size_t step(char* out, std::size_t n) = 0;

  const unsigned char* in() const { return in_.data() + in_pos_; }
  std::size_t in_left() const { return in_end_ - in_pos_; }
  void consumed(std::size_t n) {
    in_pos_ += n;
    taken_ += n;
  }
  // Everything of the raw source has been handed to the library.
  bool input_ended() const { return raw_end_ && in_left() == 0; }
  bool another_stream();
  void corrupt(std::string_view why);

  bool finished_ = false;

 private:
  void refill();
  [[noreturn]] void ends_early() const;
  [[noreturn]] void throw_corrupt() const;

  const char* format_;
  std::unique_ptr<ByteSource> raw_;
  std::vector<unsigned char> in_;
  std::size_t in_pos_ = 0, in_end_ = 0;
  bool raw_end_ = false;
  // Progress marks: compressed bytes taken, stream ends reached.
  std::uint64_t taken_ = 0, ends_ = 0;
  // Why the library refused the data, thrown once the bytes it wrote in
  // the same call are handed out.
  std::string refused_;
  bool corrupt_ = false;
};

std::size_t Decoder::read(char* buf, std::size_t n) {
  n = std::min(n, kMaxStep);
  while (!finished_) {
    if (corrupt_) throw_corrupt();
    if (in_left() == 0) refill();
    const std::uint64_t taken = taken_, ends = ends_;
    const std::size_t made = step(buf, n);
    if (made > 0) return made;
    if (corrupt_ || finished_ || taken_ != taken || ends_ != ends) continue;
    // Neither input taken nor output made: the library needs bytes that
    // are not there.
    if (input_ended()) ends_early();
    corrupt({});  // input and room left, yet stuck: never loop on it
  }
  return 0;
}

void Decoder::refill() {
  if (raw_end_) return;
  in_pos_ = 0;
  in_end_ = raw_->read(reinterpret_cast<char*>(in_.data()), in_.size());
  raw_end_ = in_end_ == 0;
}

// After the end of a stream: whether another one follows, zero padding
// passed over.
bool Decoder::another_stream() {
  ++ends_;
  for (;;) {
    while (in_left() > 0 && *in() == 0) consumed(1);
    if (in_left() > 0) return true;
    refill();
    if (input_ended()) return false;
  }
}

void Decoder::ends_early() const {
  Failure f(kEndOfFile, kUnitInternal, {});
  f.detail().cause = std::string("the ") + format_ + " data ends early";
  f.set_cause("truncated");
  throw f;
}

void Decoder::corrupt(std::string_view why) {
  corrupt_ = true;
  refused_ = why;
}

void Decoder::throw_corrupt() const {
  Failure f(kConversion, kUnitInternal, {});
  f.detail().cause = std::string("the ") + format_ + " data is corrupt";
  if (!refused_.empty()) f.detail().cause += " (" + refused_ + ")";
  f.set_cause("corrupt-compressed");
  throw f;
}

// gzip through zlib's inflate, one member after another.
class GzipDecoder final : public Decoder {
 public:
  GzipDecoder(std::string_view head, std::unique_ptr<ByteSource> raw)
      : Decoder("gzip", head, std::move(raw)) {
    // 16 + MAX_WBITS: gzip members only, with their header and CRC checked.
    if (inflateInit2(&z_, 16 + MAX_WBITS) != Z_OK) throw std::bad_alloc();
  }
  ~GzipDecoder() override { inflateEnd(&z_); }

 private:
  std::size_t step(char* out, std::size_t n) override {
    z_.next_in = in();
    z_.avail_in = static_cast<uInt>(in_left());
    z_.next_out = reinterpret_cast<Bytef*>(out);
    z_.avail_out = static_cast<uInt>(n);
    const int rc = inflate(&z_, Z_NO_FLUSH);
    consumed(in_left() - z_.avail_in);
    switch (rc) {
      case Z_OK:
      case Z_BUF_ERROR:  // no progress possible: read() decides why
        break;
      case Z_STREAM_END:
        if (another_stream()) {
          inflateReset(&z_);
        } else {
          finished_ = true;
        }
        break;
      case Z_MEM_ERROR:
        throw std::bad_alloc();
      default:
        corrupt(z_.msg != nullptr ? z_.msg : "");
        break;
    }
    return n - z_.avail_out;
  }

  z_stream z_{};
};

// xz through liblzma, which reads concatenated streams and their padding
// itself; it is told when the input has ended so it can tell a complete
// stream from a cut one.
class XzDecoder final : public Decoder {
 public:
  XzDecoder(std::string_view head, std::unique_ptr<ByteSource> raw)
      : Decoder("xz", head, std::move(raw)) {
    // Only LZMA_MEM_ERROR can happen with these arguments.
    if (lzma_stream_decoder(&s_, UINT64_MAX, LZMA_CONCATENATED) != LZMA_OK) {
      throw std::bad_alloc();
    }
  }
  ~XzDecoder() override { lzma_end(&s_); }

 private:
  std::size_t step(char* out, std::size_t n) override {
    s_.next_in = in();
    s_.avail_in = in_left();
    s_.next_out = reinterpret_cast<std::uint8_t*>(out);
    s_.avail_out = n;
    const lzma_ret rc = lzma_code(&s_, input_ended() ? LZMA_FINISH : LZMA_RUN);
    consumed(in_left() - s_.avail_in);
    switch (rc) {
      case LZMA_OK:
      case LZMA_BUF_ERROR:  // no progress possible: read() decides why
        break;
      case LZMA_STREAM_END:
        finished_ = true;
        break;
      case LZMA_MEM_ERROR:
        throw std::bad_alloc();
      case LZMA_FORMAT_ERROR:
        corrupt("not an xz stream");
        break;
      case LZMA_OPTIONS_ERROR:
        corrupt("unsupported options");
        break;
      default:
        corrupt({});
        break;
    }
    return n - s_.avail_out;
  }

  lzma_stream s_ = LZMA_STREAM_INIT;
};

// bzip2 through libbz2, one stream after another: the library stops at the
// end of each, so a new decompressor starts on the next.
class Bzip2Decoder final : public Decoder {
 public:
  Bzip2Decoder(std::string_view head, std::unique_ptr<ByteSource> raw)
      : Decoder("bzip2", head, std::move(raw)) {
    start();
  }
  ~Bzip2Decoder() override {
    if (open_) BZ2_bzDecompressEnd(&s_);
  }

 private:
  void start() {
    s_ = bz_stream{};
    if (BZ2_bzDecompressInit(&s_, 0, 0) != BZ_OK) throw std::bad_alloc();
    open_ = true;
  }

  std::size_t step(char* out, std::size_t n) override {
    // libbz2 never writes through next_in; its header just lacks the const.
    s_.next_in = const_cast<char*>(reinterpret_cast<const char*>(in()));
    s_.avail_in = static_cast<unsigned>(in_left());
    s_.next_out = out;
    s_.avail_out = static_cast<unsigned>(n);
    const int rc = BZ2_bzDecompress(&s_);
    consumed(in_left() - s_.avail_in);
    const std::size_t made = n - s_.avail_out;
    switch (rc) {
      case BZ_OK:
        break;
      case BZ_STREAM_END:
        BZ2_bzDecompressEnd(&s_);
        open_ = false;
        if (another_stream()) {
          start();
        } else {
          finished_ = true;
        }
        break;
      case BZ_MEM_ERROR:
        throw std::bad_alloc();
      case BZ_DATA_ERROR_MAGIC:
        corrupt("not a bzip2 stream");
        break;
      case BZ_DATA_ERROR:
        corrupt("data integrity error");
        break;
      default:
        corrupt({});
        break;
    }
    return made;
  }

  bz_stream s_{};
  bool open_ = false;
};

// Up to kPeek bytes from the start of `raw`, fewer only at its end.
std::string peek(ByteSource& raw) {
  std::string head(kPeek, '\0');
  std::size_t got = 0;
  while (got < kPeek) {
    const std::size_t n = raw.read(head.data() + got, kPeek - got);
    if (n == 0) break;
    got += n;
  }
  head.resize(got);
  return head;
}

std::unique_ptr<ByteSource> decoder(Format format, std::string_view head,
                                    std::unique_ptr<ByteSource> raw) {
  switch (format) {
    case Format::kGzip:
#ifdef PDSPLIT_HAVE_ISAL
      return isal_gzip(head, std::move(raw));
#else
      return std::make_unique<GzipDecoder>(head, std::move(raw));
#endif
    case Format::kXz:
      return std::make_unique<XzDecoder>(head, std::move(raw));
    case Format::kBzip2:
      break;
  }
  return std::make_unique<Bzip2Decoder>(head, std::move(raw));
}

}  // namespace

std::unique_ptr<ByteSource> decompressed(std::unique_ptr<ByteSource> raw,
                                         std::string* compression) {
  std::string head = peek(*raw);
  for (const Signature& s : kSignatures) {
    if (head.starts_with(s.bytes)) {
      if (compression != nullptr) *compression = s.name;
      return read_ahead(decoder(s.format, head, std::move(raw)));
    }
  }
  if (compression != nullptr) compression->clear();
  return std::make_unique<Replayed>(std::move(head), std::move(raw));
}

std::unique_ptr<ByteSource> replayed(std::string head, std::unique_ptr<ByteSource> rest) {
  return std::make_unique<Replayed>(std::move(head), std::move(rest));
}

}  // namespace pds
