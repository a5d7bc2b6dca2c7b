// The line-format compiler: "(1X,A14,F8.3)" into a list of field codes.
#include <cctype>
#include <limits>
#include <string>

#include "textio/textio.h"

namespace pds {

namespace {

// A cursor over the format text; blanks between tokens are ignored, as the
// runtime of the language ignored them.
class Scanner {
 public:
  explicit Scanner(std::string_view s) : s_(s) {}
  void blanks() {
    while (i_ < s_.size() && s_[i_] == ' ') ++i_;
  }
  bool at(char c) {
    blanks();
    return i_ < s_.size() && s_[i_] == c;
  }
  bool eat(char c) {
    if (!at(c)) return false;
    ++i_;
    return true;
  }
  char letter() {
    blanks();
    if (i_ >= s_.size() || !std::isalpha(static_cast<unsigned char>(s_[i_]))) return 0;
    return static_cast<char>(std::toupper(static_cast<unsigned char>(s_[i_++])));
  }
  bool digit_next() {
    blanks();
    return i_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[i_]));
  }
  // The next character is `c` (a letter in either case); it is consumed.
  bool eat_letter(char c) {
    blanks();
    if (i_ >= s_.size() || std::toupper(static_cast<unsigned char>(s_[i_])) != c) return false;
    ++i_;
    return true;
  }
  // An unsigned number: kNone when there is none, kTooLarge beyond an int.
  static constexpr int kNone = -1, kTooLarge = -2;
  int number() {
    if (!digit_next()) return kNone;
    long long v = 0;
    while (i_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[i_]))) {
      v = v * 10 + (s_[i_++] - '0');
      if (v > std::numeric_limits<int>::max()) return kTooLarge;
    }
    return static_cast<int>(v);
  }
  bool done() {
    blanks();
    return i_ == s_.size();
  }

 private:
  std::string_view s_;
  std::size_t i_ = 0;
};

// One field code after its repeat count; false when the text is not one.
bool parse_code(Scanner& sc, FieldCode& fc) {
  char k = sc.letter();
  switch (k) {
    case 'X':
      fc.kind = FieldCode::kSkip;
      return fc.w > 0;  // count parsed as repeat
    case 'A':
      fc.kind = FieldCode::kText;
      fc.has_width = sc.digit_next();
      if (fc.has_width) fc.w = sc.number();
      return !fc.has_width || fc.w > 0;
    case 'I':
      fc.kind = FieldCode::kInt;
      fc.w = sc.number();
      if (fc.w < 0) return false;
      if (sc.eat('.')) {
        fc.m = sc.number();
        return fc.m >= 0 && fc.w > 0;
      }
      return true;  // I0 or Iw
    case 'F':
    case 'E':
      fc.kind = k == 'F' ? FieldCode::kFixed : FieldCode::kExp;
      fc.w = sc.number();
      if (fc.w <= 0 || !sc.eat('.')) return false;
      fc.d = sc.number();
      if (fc.d < 0) return false;
      if (k == 'E' && sc.eat_letter('E')) return (fc.e = sc.number()) > 0;
      return true;
    default:
      return false;
  }
}

}  // namespace

LineFormat LineFormat::compile(std::string_view text) {
  LineFormat f;
  f.text_ = std::string(text);
  Scanner sc(text);
  if (!sc.eat('(')) return f;
  if (sc.eat(')')) return f.valid_ = sc.done(), f;
  do {
    FieldCode fc{};
    int r = sc.number();
    if (r == 0 || r == Scanner::kTooLarge) return f;  // a repeat count of 0 is a syntax error
    // For nX the leading number is the skip count, not a repeat count.
    Scanner peek = sc;
    if (r > 0 && peek.letter() == 'X') {
      fc.w = r;
      r = 1;
    }
    fc.repeat = r == Scanner::kNone ? 1 : r;
    if (!parse_code(sc, fc)) return f;
    f.codes_.push_back(fc);
  } while (sc.eat(','));
  if (!sc.eat(')') || !sc.done()) return f;
  f.valid_ = true;
  return f;
}

namespace {

// A column count in the two-character text COLUMN, without trailing blanks.
std::string column_text(int n) {
  static const LineFormat kI0 = LineFormat::compile("(I0)");
  return std::string(trimmed(internal_write(kI0, n, 2, Stream{kUnitInternal, "column count"})));
}

}  // namespace

LineFormat LineFormat::data_in(int n) {
  return compile("(F11.3," + column_text(n) + "E12.4e2)");
}

LineFormat LineFormat::data_out(int n) {
  return compile("(F11.3," + column_text(n) + "E12.4)");
}

bool LineFormat::is_data_line() const {
  return valid_ && codes_.size() == 2 && codes_[0].kind == FieldCode::kFixed &&
         codes_[0].repeat == 1 && codes_[1].kind == FieldCode::kExp;
}

}  // namespace pds
