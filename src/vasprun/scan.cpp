// The scanner of vasprun.xml: a window of bytes over a byte source, moved
// on by byte searches (memmem over megabytes at a time) and by the few tags
// and rows that are read, counting the lines it passes.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "vasprun/vasprun.h"

namespace pds {

namespace {

constexpr std::size_t kWindow = std::size_t{4} << 20;      // bytes read at a time
constexpr std::size_t kMaxWindow = std::size_t{64} << 20;  // the longest block held whole
constexpr std::size_t kMinRead = std::size_t{1} << 16;
constexpr std::size_t kBehind = 4096;  // kept before the position, for columns
constexpr std::size_t kMaxRow = std::size_t{1} << 16;
constexpr std::size_t kMaxTag = 4096;

bool blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Line ends in [from, to), eight bytes at a time: a count per byte lane
// for up to 255 words, then the lanes added.
std::int64_t line_ends(const char* from, const char* to) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull, kLow = 0x7f7f7f7f7f7f7f7full;
  constexpr std::uint64_t kEven = 0x00ff00ff00ff00ffull, kSum = 0x0001000100010001ull;
  std::int64_t n = 0;
  while (to - from >= 8) {
    const char* stop = from + std::min<std::ptrdiff_t>((to - from) / 8, 255) * 8;
    std::uint64_t lanes = 0;
    for (; from < stop; from += 8) {
      std::uint64_t w;
      std::memcpy(&w, from, 8);
      const std::uint64_t x = w ^ (kOnes * '\n');  // zero bytes where '\n' was
      const std::uint64_t t = ((x & kLow) + kLow) | x;
      lanes += (~t >> 7) & kOnes;
    }
    const std::uint64_t pairs = (lanes & kEven) + ((lanes >> 8) & kEven);
    n += static_cast<std::int64_t>((pairs * kSum) >> 48);
  }
  for (; from < to; ++from) n += *from == '\n';
  return n;
}

// A value as VASP writes those of its rows, [-]digits.digits with 15 digits
// at most, followed by a blank or '<': its digits as an integer and the
// power of ten of its decimals are exact doubles, so that their quotient is
// the correctly rounded value, the one from_chars gives. Returns the end of
// the value, or null for any other spelling (read by parse_xml_number).
const char* plain_decimal(const char* p, const char* e, double& out) {
  static constexpr double kPowers[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                       1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
  const bool negative = p < e && *p == '-';
  const char* q = p + negative;
  std::uint64_t m = 0;
  const char* whole = q;
  for (; q < e && static_cast<unsigned>(*q - '0') < 10; ++q) m = m * 10 + (*q - '0');
  const std::ptrdiff_t before = q - whole;
  if (before == 0 || q == e || *q != '.') return nullptr;
  const char* decimals = ++q;
  for (; q < e && static_cast<unsigned>(*q - '0') < 10; ++q) m = m * 10 + (*q - '0');
  const std::ptrdiff_t after = q - decimals;
  if (after == 0 || before + after > 15 || q == e || !(blank(*q) || *q == '<')) return nullptr;
  const double v = static_cast<double>(m) / kPowers[after];
  out = negative ? -v : v;
  return q;
}

}  // namespace

bool parse_xml_number(std::string_view text, double& out) {
  const char* b = text.data();
  const char* e = b + text.size();
  if (b != e && *b == '+' && e - b > 1 && b[1] != '-' && b[1] != '+') ++b;
  if (b == e) return false;
  const auto [p, ec] = std::from_chars(b, e, out);
  if (p == e && ec == std::errc()) return true;
  if (p == e && ec == std::errc::result_out_of_range) {
    // Beyond the doubles: float() gives inf or 0.0, as strtod does.
    const std::string s(b, e);
    out = std::strtod(s.c_str(), nullptr);
    return true;
  }
  if (std::all_of(text.begin(), text.end(), [](char c) { return c == '*'; })) {
    out = std::nan("");
    return true;
  }
  return false;
}

XmlScan::XmlScan(std::unique_ptr<ByteSource> source, std::string name)
    : source_(std::move(source)),
      name_(std::move(name)),
      buf_(std::make_unique_for_overwrite<char[]>(kWindow)),
      size_(kWindow) {}

XmlScan::XmlScan(XmlPiece piece, std::string name)
    : name_(std::move(name)),
      buf_(std::move(piece.text)),
      size_(piece.size),
      end_(piece.size),
      dropped_(piece.dropped),
      piece_(true),
      line_(piece.line) {
  pos_ = piece.skip;
}

void XmlScan::count(const char* from, const char* to) {
  line_ += line_ends(from, to);
}

std::int64_t XmlScan::line_at(std::size_t offset) const {
  offset = std::min(offset, available());
  return line_ + line_ends(buf_.get() + pos_, buf_.get() + pos_ + offset);
}

bool XmlScan::more(std::size_t want) {
  if (piece_ && available() < want) eof_ = true;
  while (available() < want && !eof_) {
    if (size_ - end_ < kMinRead) {
      const std::size_t from = pos_ - std::min(pos_, kBehind);
      std::memmove(buf_.get(), buf_.get() + from, end_ - from);
      dropped_ = dropped_ || from > 0;
      pos_ -= from;
      end_ -= from;
      if (size_ - end_ < kMinRead) {
        if (size_ >= kMaxWindow) return false;
        auto bigger = std::make_unique_for_overwrite<char[]>(size_ * 2);
        std::memcpy(bigger.get(), buf_.get(), end_);
        buf_ = std::move(bigger);
        size_ *= 2;
      }
    }
    std::size_t got = 0;
    try {
      got = source_->read(buf_.get() + end_, size_ - end_);
    } catch (const Failure& f) {
      Failure g = for_stream(f, kUnitDoscar, name_);
      g.detail().line = line_at(available());
      g.detail().text =
          name_ + ": line " + std::to_string(g.detail().line) + ": " +
          (f.detail().cause.empty() ? std::string(failure_message(f.number())) : f.detail().cause);
      throw g;
    }
    if (got == 0) eof_ = true;
    end_ += got;
  }
  return available() >= want;
}

bool XmlScan::at_end() {
  return !more(1);
}

void XmlScan::advance(std::size_t n) {
  n = std::min(n, available());
  count(buf_.get() + pos_, buf_.get() + pos_ + n);
  pos_ += n;
}

std::string_view XmlScan::window(std::size_t n) {
  more(n);
  return {buf_.get() + pos_, std::min(n, available())};
}

int XmlScan::find(std::initializer_list<std::string_view> patterns) {
  std::size_t longest = 1;
  for (std::string_view p : patterns) longest = std::max(longest, p.size());
  for (;;) {
    const char* best = nullptr;
    int index = -1, i = 0;
    for (std::string_view p : patterns) {
      const void* hit = memmem(buf_.get() + pos_, available(), p.data(), p.size());
      if (hit != nullptr && (best == nullptr || hit < best)) {
        best = static_cast<const char*>(hit);
        index = i;
      }
      ++i;
    }
    if (best != nullptr) {
      advance(static_cast<std::size_t>(best - (buf_.get() + pos_)));
      return index;
    }
    // A pattern may start in the last bytes: they stay.
    if (available() >= longest) advance(available() - (longest - 1));
    if (!more(longest)) {
      advance(available());
      return -1;
    }
  }
}

const char* XmlScan::through(std::string_view close) {
  std::size_t searched = 0;
  for (;;) {
    const char* start = buf_.get() + pos_;
    const void* hit = memmem(start + searched, available() - searched, close.data(), close.size());
    if (hit != nullptr) return static_cast<const char*>(hit) + close.size();
    searched = available() >= close.size() ? available() - close.size() + 1 : 0;
    if (!more(available() + 1)) return nullptr;
  }
}

std::string_view XmlScan::block(std::string_view close, const char* what) {
  const char* end = through(close);
  if (end == nullptr) {
    if (eof_) truncated(what);
    fail(kConversion, "malformed-xml",
         std::string(what) + " is longer than " + std::to_string(kMaxWindow >> 20) +
             " MiB without its " + std::string(close));
  }
  const char* start = buf_.get() + pos_;
  return {start, static_cast<std::size_t>(end - start)};
}

bool XmlScan::take(std::string_view close, XmlPiece& piece) {
  const char* end = through(close);
  if (end == nullptr) return false;
  const char* start = buf_.get() + pos_;
  const char* line = start;
  while (line > buf_.get() && line[-1] != '\n') --line;
  piece.size = static_cast<std::size_t>(end - line);
  piece.text = std::make_unique_for_overwrite<char[]>(piece.size);
  std::memcpy(piece.text.get(), line, piece.size);
  piece.skip = static_cast<std::size_t>(start - line);
  piece.line = line_;
  piece.dropped = line == buf_.get() && dropped_;
  advance(static_cast<std::size_t>(end - start));
  return true;
}

void XmlScan::skip_blanks() {
  for (;;) {
    while (pos_ < end_ && blank(buf_[pos_])) line_ += buf_[pos_++] == '\n';
    if (pos_ < end_ || !more(1)) return;
  }
}

XmlTag XmlScan::tag(const char* what) {
  skip_blanks();
  const std::string_view w = window(kMaxTag);
  if (w.empty()) truncated(what);
  if (w[0] != '<')
    fail(kConversion, "malformed-xml", std::string("text where a tag of ") + what + " stands");
  const std::size_t gt = w.find('>');
  if (gt == std::string_view::npos) {
    if (eof_) truncated(what);
    fail(kConversion, "malformed-xml", std::string("a tag of ") + what + " without its '>'");
  }
  XmlTag t;
  std::string_view inner = w.substr(1, gt - 1);
  t.closing = inner.starts_with('/');
  if (t.closing) inner.remove_prefix(1);
  t.empty = inner.ends_with('/');
  if (t.empty) inner.remove_suffix(1);
  const std::size_t space = inner.find_first_of(" \t\r\n");
  t.name = inner.substr(0, space);
  if (space != std::string_view::npos) t.attributes = inner.substr(space);
  advance(gt + 1);
  return t;
}

XmlTag XmlScan::expect(std::string_view name, bool closing, const char* what) {
  const XmlTag t = tag(what);
  if (t.name != name || t.closing != closing) {
    fail(kConversion, "malformed-xml",
         std::string(what) + ": <" + (closing ? "/" : "") + std::string(name) + "> expected, <" +
             (t.closing ? "/" : "") + excerpt(t.name) + "> found");
  }
  return t;
}

std::string_view XmlScan::text(const char* what) {
  const std::string_view w = window(kMaxTag);
  const std::size_t lt = w.find('<');
  if (lt == std::string_view::npos) {
    if (eof_) truncated(what);
    fail(kConversion, "malformed-xml", std::string("the text of ") + what + " is too long");
  }
  std::string_view t = w.substr(0, lt);
  advance(lt);
  while (!t.empty() && blank(t.front())) t.remove_prefix(1);
  while (!t.empty() && blank(t.back())) t.remove_suffix(1);
  return t;
}

void XmlScan::skip_element(const XmlTag& t, const char* what) {
  for (int depth = t.empty ? 0 : 1; depth > 0;) {
    if (find({"<"}) < 0) truncated(what);
    const XmlTag u = tag(what);
    depth += u.closing ? -1 : u.empty ? 0 : 1;
  }
}

const char* XmlScan::value(const char* p, const char* e, double* out, int max, const char* what) {
  const char* q = p;
  while (q < e && !blank(*q) && *q != '<') ++q;
  if (q == e) {
    if (eof_) truncated(what);
    fail(kConversion, "malformed-xml", std::string("a row of ") + what + " is too long");
  }
  if (out == nullptr) {
    fail(kConversion, "malformed-xml",
         std::string("a row of ") + what + " has more than the " + std::to_string(max) +
             " values of its <field>s");
  }
  if (!parse_xml_number({p, static_cast<std::size_t>(q - p)}, *out)) {
    not_a_number(p, static_cast<std::size_t>(q - p), what);
  }
  return q;
}

int XmlScan::row(double* out, int max, const char* what) {
  skip_blanks();
  const std::string_view w = window(kMaxRow);
  if (w.starts_with("</set>")) {
    advance(6);
    return -1;
  }
  if (!w.starts_with("<r>")) {
    if (w.size() < 6 && eof_) truncated(what);
    fail(kConversion, "malformed-xml", std::string("a row <r> or </set> of ") + what + " expected");
  }
  const char* p = w.data() + 3;
  const char* const e = w.data() + w.size();
  int n = 0;
  for (;;) {
    while (p < e && (*p == ' ' || *p == '\t')) ++p;
    if (p == e || (*p == '<' && e - p < 4)) {
      if (eof_) truncated(what);
      fail(kConversion, "malformed-xml", std::string("a row of ") + what + " is too long");
    }
    if (*p == '<') {
      if (std::memcmp(p, "</r>", 4) != 0) {
        fail(kConversion, "malformed-xml",
             std::string("a row <r> of ") + what + " without its </r>",
             static_cast<std::size_t>(p - w.data()));
      }
      p += 4;
      break;
    }
    if (*p == '\n' || *p == '\r') {
      fail(kConversion, "malformed-xml",
           std::string("a row <r> of ") + what + " ends without its </r>");
    }
    const char* q = n < max ? plain_decimal(p, e, out[n]) : nullptr;
    if (q == nullptr) q = value(p, e, n == max ? nullptr : out + n, max, what);
    ++n;
    p = q;
  }
  advance(static_cast<std::size_t>(p - w.data()));
  return n;
}

void XmlScan::fail(int number, const char* kind, const std::string& what,
                   std::size_t offset) const {
  Failure f(number, kUnitDoscar, name_);
  f.detail().line = line_at(offset);
  // At the end of the data, the last line (not the empty one after its LF).
  if (eof_ && offset >= available() && end_ > 0 && buf_[end_ - 1] == '\n') --f.detail().line;
  f.set_cause(kind);
  f.detail().text = name_ + ": line " + std::to_string(f.detail().line) + ": " + what;
  throw f;
}

void XmlScan::truncated(const char* what) {
  do {
    advance(available());
  } while (more(1));
  Failure f(kEndOfFile, kUnitDoscar, name_);
  f.detail().line = line_ - (end_ > 0 && buf_[end_ - 1] == '\n' ? 1 : 0);
  f.set_cause("truncated");
  f.detail().text = name_ + ": the file ends at line " + std::to_string(f.detail().line) +
                    ", inside " + what +
                    ": it is cut short (a run stopped while writing it, or a copy cut off)";
  throw f;
}

void XmlScan::not_a_number(const char* at, std::size_t length, const char* what) const {
  const std::size_t offset = static_cast<std::size_t>(at - (buf_.get() + pos_));
  Failure f(kConversion, kUnitDoscar, name_);
  f.detail().line = line_at(offset);
  f.set_cause("not-a-number");
  f.detail().field.assign(at, length);
  const char* start = at;
  while (start > buf_.get() && start[-1] != '\n') --start;
  if (start > buf_.get() || !dropped_) {
    f.detail().first_column = static_cast<int>(at - start) + 1;
    f.detail().last_column = f.detail().first_column + static_cast<int>(length) - 1;
  }
  f.detail().text = name_ + ": line " + std::to_string(f.detail().line) + ": \"" +
                    f.detail().field + "\" in " + what + " is not a number";
  throw f;
}

}  // namespace pds
