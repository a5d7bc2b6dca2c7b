// Fuzz target: the line-format compiler and the formatted read and write
// that use a compiled format.
//
// Properties: compiling never crashes and keeps the text; a text without
// blanks is valid exactly when a small reference recognizer of the notation
// accepts it; a valid format has sane codes (kinds, widths, repeat counts),
// and writing its codes back as text and compiling again gives the same
// codes; an invalid format raises the format syntax failure (62) when used.
// A valid format of modest size writes a line of the widths its codes promise
// and reads any line without anything but the conversion failure (64).
//
// Found so far (inputs corpus/format/regress-*): a letter after Ew.d was
// swallowed ("(E12.8g)" compiled as E12.8), and a repeat count beyond the int
// range whose overflow showed at its last digit was taken as no count.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "textio/textio.h"

namespace {

using pds::FieldCode;

bool same(const FieldCode& a, const FieldCode& b) {
  return a.kind == b.kind && a.repeat == b.repeat && a.w == b.w && a.d == b.d && a.m == b.m &&
         a.e == b.e && a.has_width == b.has_width;
}

void check_code(const FieldCode& c) {
  FUZZ_CHECK(c.repeat >= 1);
  switch (c.kind) {
    case FieldCode::kSkip:
      FUZZ_CHECK(c.repeat == 1 && c.w > 0);
      break;
    case FieldCode::kText:
      FUZZ_CHECK(c.has_width ? c.w > 0 : c.w == 0);
      break;
    case FieldCode::kInt:
      FUZZ_CHECK(c.w >= 0 && c.m >= -1 && (c.m < 0 || c.w > 0));
      break;
    case FieldCode::kFixed:
    case FieldCode::kExp:
      FUZZ_CHECK(c.w > 0 && c.d >= 0);
      FUZZ_CHECK(c.e == -1 || (c.kind == FieldCode::kExp && c.e > 0));
      break;
    default:
      FUZZ_CHECK(!"unknown field kind");
  }
  FUZZ_CHECK(c.kind == FieldCode::kText || c.has_width);
  FUZZ_CHECK(c.kind == FieldCode::kInt || c.m == -1);
}

// Reference recognizer for texts without blanks, letters in either case:
//   format := "(" [ entry { "," entry } ] ")"
//   entry  := n "X" | [r] "A" [w] | [r] "I" w [ "." m ] | [r] "F" w "." d
//           | [r] "E" w "." d [ "E" e ]
// r, n, w (except in I0), e: positive; d, m: zero or more; I w.m needs w > 0;
// every number fits a 32-bit int.
class Reference {
 public:
  explicit Reference(std::string_view s) : s_(s) {}
  bool format() {
    if (!eat('(')) return false;
    if (eat(')')) return i_ == s_.size();
    do {
      if (!entry()) return false;
    } while (eat(','));
    return eat(')') && i_ == s_.size();
  }

 private:
  bool entry() {
    const long long r = number();
    if (r == 0 || r == -2) return false;
    const char k = letter();
    if (k == 'X') return r > 0;
    if (k == 'A') {
      const long long w = number();
      return w == -1 || w > 0;
    }
    if (k == 'I') {
      const long long w = number();
      if (w < 0) return false;
      if (!eat('.')) return true;
      return w > 0 && number() >= 0;
    }
    if (k != 'F' && k != 'E') return false;
    if (number() <= 0 || !eat('.') || number() < 0) return false;
    if (k == 'E' && letter_is('E')) return number() > 0;
    return true;
  }
  // An unsigned number; -1 if none; -2 (invalid everywhere) if too large.
  long long number() {
    if (i_ >= s_.size() || s_[i_] < '0' || s_[i_] > '9') return -1;
    long long v = 0;
    bool big = false;
    for (; i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9'; ++i_) {
      v = v * 10 + (s_[i_] - '0');
      if (v > 2147483647) big = true, v = 0;
    }
    return big ? -2 : v;
  }
  char letter() {
    if (i_ >= s_.size()) return 0;
    const char c = s_[i_];
    const char up = c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
    if (up < 'A' || up > 'Z') return 0;
    ++i_;
    return up;
  }
  bool letter_is(char up) {
    const std::size_t keep = i_;
    if (letter() == up) return true;
    i_ = keep;
    return false;
  }
  bool eat(char c) {
    if (i_ >= s_.size() || s_[i_] != c) return false;
    ++i_;
    return true;
  }
  std::string_view s_;
  std::size_t i_ = 0;
};

// The canonical text of a list of codes.
std::string render(const std::vector<FieldCode>& codes) {
  std::string s = "(";
  for (std::size_t i = 0; i < codes.size(); ++i) {
    const FieldCode& c = codes[i];
    if (i > 0) s += ',';
    if (c.kind == FieldCode::kSkip) {
      s += std::to_string(c.w);
      s += 'X';
      continue;
    }
    s += std::to_string(c.repeat);
    s += static_cast<char>(c.kind);
    if (c.has_width) s += std::to_string(c.w);
    // Appended piece by piece: "." + std::string trips a false -Wrestrict
    // of GCC 12.
    if (c.kind == FieldCode::kInt && c.m >= 0) {
      s += '.';
      s += std::to_string(c.m);
    }
    if (c.kind == FieldCode::kFixed || c.kind == FieldCode::kExp) {
      s += '.';
      s += std::to_string(c.d);
    }
    if (c.e > 0) {
      s += 'E';
      s += std::to_string(c.e);
    }
  }
  return s + ")";
}

int failure_of_write(const pds::LineFormat& f, const std::vector<pds::Value>& values,
                     std::string& line) {
  try {
    pds::format_line(line, f, values, pds::Stream{pds::kUnitInternal, "fuzz"});
  } catch (const pds::Failure& e) {
    return e.number();
  }
  return 0;
}

// Writes and reads with a valid format whose fields are few and narrow.
void exercise(const pds::LineFormat& f, std::string_view line_in) {
  std::size_t fields = 0, width = 0;
  for (const FieldCode& c : f.codes()) {
    if (c.w > 200 || c.repeat > 50) return;
    fields += static_cast<std::size_t>(c.repeat);
    width += static_cast<std::size_t>(c.repeat) * static_cast<std::size_t>(c.w);
  }
  if (fields > 200 || width > 4000) return;

  std::vector<pds::Value> values;
  std::vector<pds::Target> targets;
  std::vector<std::string> texts(fields);
  std::vector<std::int32_t> ints(fields);
  std::vector<double> reals(fields);
  std::size_t expected = 0, pending = 0, k = 0;
  for (const FieldCode& c : f.codes()) {
    for (int r = 0; r < c.repeat; ++r) {
      if (c.kind == FieldCode::kSkip) {
        pending += static_cast<std::size_t>(c.w);
        continue;
      }
      expected += pending;
      pending = 0;
      if (c.kind == FieldCode::kText) {
        values.emplace_back("abc");
        targets.push_back(pds::Target::Text(texts[k], 7));
        expected += c.has_width ? static_cast<std::size_t>(c.w) : 3;
      } else if (c.kind == FieldCode::kInt) {
        values.emplace_back(-42);
        targets.push_back(pds::Target::Int(ints[k]));
        expected += c.w > 0 ? static_cast<std::size_t>(c.w) : 3;
      } else {
        values.emplace_back(-1.25);
        targets.push_back(pds::Target::Real(reals[k]));
        expected += static_cast<std::size_t>(c.w);
      }
      ++k;
    }
  }
  std::string line;
  FUZZ_CHECK(failure_of_write(f, values, line) == 0);
  FUZZ_CHECK(line.size() == expected);

  try {
    pds::read_fields(line_in, f, targets, pds::Stream{pds::kUnitDoscar, "fuzz"});
  } catch (const pds::Failure& e) {
    FUZZ_CHECK(e.number() == pds::kConversion);
    return;
  }
  for (std::size_t i = 0; i < k; ++i) {
    if (targets[i].kind == pds::Target::kText) FUZZ_CHECK(texts[i].size() == 7);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The format text, then after a line feed a line to read with it.
  std::string_view all(reinterpret_cast<const char*>(data), size);
  const std::size_t nl = all.find('\n');
  std::string_view text = all.substr(0, nl);
  std::string_view line = nl == std::string_view::npos ? std::string_view() : all.substr(nl + 1);

  const pds::LineFormat f = pds::LineFormat::compile(text);
  FUZZ_CHECK(f.text() == text);
  if (text.find(' ') == std::string_view::npos) FUZZ_CHECK(f.valid() == Reference(text).format());
  if (!f.valid()) {
    std::string out;
    FUZZ_CHECK(failure_of_write(f, {}, out) == pds::kFormatSyntax);
    FUZZ_CHECK(!f.is_data_line());
    return 0;
  }
  for (const FieldCode& c : f.codes()) check_code(c);

  const pds::LineFormat again = pds::LineFormat::compile(render(f.codes()));
  FUZZ_CHECK(again.valid() && again.codes().size() == f.codes().size());
  for (std::size_t i = 0; i < f.codes().size(); ++i)
    FUZZ_CHECK(same(again.codes()[i], f.codes()[i]));
  FUZZ_CHECK(again.is_data_line() == f.is_data_line());

  exercise(f, line);
  return 0;
}
