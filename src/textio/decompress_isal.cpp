// gzip data through ISA-L's inflate, which takes less than half the CPU of
// zlib's; built when ISA-L is found (PDSPLIT_HAVE_ISAL), zlib's decoder in
// decompress.cpp otherwise. It reads what zlib's reads, and fails as that
// one fails: members one after another, zero padding after the last one
// passed over, any other byte there the start of a further member; number
// 24 when the data ends inside a member, 64 with zlib's words when it is
// damaged (a wrong header, deflate data or trailer).
#ifdef PDSPLIT_HAVE_ISAL

#include <isa-l/igzip_lib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "textio/decompress.h"

namespace pds {

namespace {

// Compressed bytes are read from the raw source in blocks of this size.
constexpr std::size_t kInBlock = std::size_t{1} << 18;
// One call writes at most this much: avail_out is 32 bits.
constexpr std::size_t kMaxStep = std::size_t{1} << 30;
constexpr unsigned char kMagic[] = {0x1f, 0x8b, 8};  // signature, deflate
// Header flags: FHCRC, FEXTRA, FNAME, FCOMMENT, and those no gzip has.
constexpr unsigned char kHeaderCrc = 2, kExtra = 4, kName = 8, kComment = 16;
constexpr unsigned char kReservedFlags = 0xe0;

class IsalGzip final : public ByteSource {
 public:
  IsalGzip(std::string_view head, std::unique_ptr<ByteSource> raw)
      : raw_(std::move(raw)),
        in_(std::max(kInBlock, head.size())),
        state_(std::make_unique<inflate_state>()) {
    std::memcpy(in_.data(), head.data(), head.size());
    end_ = head.size();
    start_member();
  }
  std::size_t read(char* buf, std::size_t n) override;

 private:
  std::size_t step(char* out, std::size_t n);
  void start_member();
  void check_header();
  std::size_t header_length() const;
  bool another_member();
  bool refill();
  void note_consumed(std::size_t from, std::size_t to);
  void refuse(int rc);
  [[noreturn]] void ends_early() const;
  [[noreturn]] void throw_corrupt() const;

  std::size_t left() const { return end_ - pos_; }

  std::unique_ptr<ByteSource> raw_;
  std::vector<unsigned char> in_;
  std::size_t pos_ = 0, end_ = 0;
  bool raw_end_ = false;
  std::unique_ptr<inflate_state> state_;
  // The last 8 bytes taken, a member's trailer when it ends: which of its
  // checks failed (CRC or length) is told from them.
  unsigned char last8_[8] = {};
  bool finished_ = false, corrupt_ = false;
  bool header_checked_ = false;
  // Progress marks: compressed bytes taken, members ended.
  std::uint64_t taken_ = 0, members_ = 0;
  std::string refused_;
};

std::size_t IsalGzip::read(char* buf, std::size_t n) {
  n = std::min(n, kMaxStep);
  while (!finished_) {
    if (corrupt_) throw_corrupt();
    if (left() == 0 && !raw_end_) refill();
    if (!header_checked_) check_header();
    if (corrupt_) continue;
    const std::uint64_t taken = taken_, members = members_;
    const std::size_t made = step(buf, n);
    if (made > 0) return made;
    if (corrupt_ || finished_ || taken_ != taken || members_ != members) continue;
    // Neither input taken nor output made: inflate needs bytes that are
    // not there.
    if (raw_end_ && left() == 0) ends_early();
    corrupt_ = true;  // input and room left, yet stuck: never loop on it
  }
  return 0;
}

// One isal_inflate() call on the buffered input: the bytes it wrote.
std::size_t IsalGzip::step(char* out, std::size_t n) {
  inflate_state& s = *state_;
  s.next_in = in_.data() + pos_;
  s.avail_in = static_cast<std::uint32_t>(left());
  s.next_out = reinterpret_cast<std::uint8_t*>(out);
  s.avail_out = static_cast<std::uint32_t>(n);
  const int rc = isal_inflate(&s);
  const std::size_t taken = left() - s.avail_in;
  note_consumed(pos_, pos_ + taken);
  pos_ += taken;
  taken_ += taken;
  const std::size_t made = n - s.avail_out;  // before a new member resets the state
  if (rc != ISAL_DECOMP_OK) {
    refuse(rc);
  } else if (s.block_state == ISAL_BLOCK_FINISH) {
    if (another_member()) {
      start_member();
    } else {
      finished_ = true;
    }
  }
  return made;
}

void IsalGzip::start_member() {
  isal_inflate_init(state_.get());
  state_->crc_flag = ISAL_GZIP;  // header parsed, CRC32 and length checked
  header_checked_ = false;
}

// The header's first 4 bytes, as zlib checks them (ISA-L lets reserved
// flags pass): once they are all there, or the data ends before them.
void IsalGzip::check_header() {
  while (left() < 4 && !raw_end_) refill();
  header_checked_ = true;
  const unsigned char* h = in_.data() + pos_;
  const std::size_t k = std::min<std::size_t>(left(), 4);
  if (k >= 2 && (h[0] != kMagic[0] || h[1] != kMagic[1])) {
    refused_ = "incorrect header check";
  } else if (k >= 3 && h[2] != kMagic[2]) {
    refused_ = "unknown compression method";
  } else if (k >= 4 && (h[3] & kReservedFlags) != 0) {
    refused_ = "unknown header flags set";
  } else {
    // ISA-L checks a header CRC right only when the whole header comes in
    // one call: it is read in first.
    if (k >= 4 && (h[3] & kHeaderCrc) != 0) {
      while (header_length() == 0 && refill()) {
      }
    }
    return;
  }
  corrupt_ = true;
}

// The length of the member header at pos_ (its flags byte read), or 0 when
// the bytes read so far end inside it.
std::size_t IsalGzip::header_length() const {
  const unsigned char* h = in_.data() + pos_;
  const std::size_t n = left();
  std::size_t len = 10;
  if ((h[3] & kExtra) != 0) {
    if (n < len + 2) return 0;
    len += 2 + (h[len] | std::size_t{h[len + 1]} << 8);
  }
  for (const unsigned char flag : {kName, kComment}) {
    if ((h[3] & flag) == 0) continue;
    const void* nul = len < n ? std::memchr(h + len, 0, n - len) : nullptr;
    if (nul == nullptr) return 0;
    len = static_cast<std::size_t>(static_cast<const unsigned char*>(nul) - h) + 1;
  }
  len += 2;  // the CRC
  return len <= n ? len : 0;
}

// After the end of a member: whether another one follows, zero padding
// passed over.
bool IsalGzip::another_member() {
  ++members_;
  for (;;) {
    while (left() > 0 && in_[pos_] == 0) ++pos_;
    if (left() > 0) return true;
    if (raw_end_ || !refill()) return false;
  }
}

// Reads more of the raw source behind the unread bytes (moved to the
// front); false at its end.
bool IsalGzip::refill() {
  if (raw_end_) return false;
  if (pos_ > 0) {
    std::memmove(in_.data(), in_.data() + pos_, left());
    end_ -= pos_;
    pos_ = 0;
  }
  if (end_ == in_.size()) in_.resize(2 * in_.size());  // a long header
  const std::size_t got = raw_->read(reinterpret_cast<char*>(in_.data() + end_), in_.size() - end_);
  end_ += got;
  raw_end_ = got == 0;
  return got > 0;
}

void IsalGzip::note_consumed(std::size_t from, std::size_t to) {
  const std::size_t k = std::min<std::size_t>(to - from, 8);
  std::memmove(last8_, last8_ + k, 8 - k);
  std::memcpy(last8_ + 8 - k, in_.data() + to - k, k);
}

// zlib's words for what ISA-L refused.
void IsalGzip::refuse(int rc) {
  corrupt_ = true;
  const auto block = state_->block_state;
  switch (rc) {
    case ISAL_INVALID_BLOCK:
      refused_ = "invalid block type";
      break;
    case ISAL_INVALID_SYMBOL:
      refused_ = "invalid literal/length code";
      break;
    case ISAL_INVALID_LOOKBACK:
      refused_ = "invalid distance too far back";
      break;
    case ISAL_INVALID_WRAPPER:
      refused_ = "incorrect header check";
      break;
    case ISAL_UNSUPPORTED_METHOD:
      refused_ = "unknown compression method";
      break;
    case ISAL_INCORRECT_CHECKSUM:
      if (block != ISAL_BLOCK_FINISH && block != ISAL_BLOCK_INPUT_DONE &&
          block != ISAL_CHECKSUM_CHECK) {
        refused_ = "header crc mismatch";
        break;
      }
      {
        std::uint32_t crc = 0;
        for (int i = 3; i >= 0; --i) crc = crc << 8 | last8_[i];
        refused_ = crc != state_->crc ? "incorrect data check" : "incorrect length check";
      }
      break;
    default:
      refused_.clear();
      break;
  }
}

void IsalGzip::ends_early() const {
  Failure f(kEndOfFile, kUnitInternal, {});
  f.detail().cause = "the gzip data ends early";
  f.set_cause("truncated");
  throw f;
}

void IsalGzip::throw_corrupt() const {
  Failure f(kConversion, kUnitInternal, {});
  f.detail().cause = "the gzip data is corrupt";
  if (!refused_.empty()) f.detail().cause += " (" + refused_ + ")";
  f.set_cause("corrupt-compressed");
  throw f;
}

}  // namespace

std::unique_ptr<ByteSource> isal_gzip(std::string_view head, std::unique_ptr<ByteSource> raw) {
  return std::make_unique<IsalGzip>(head, std::move(raw));
}

}  // namespace pds

#endif  // PDSPLIT_HAVE_ISAL
