// Formatted records: one line laid out by, or taken apart by, a line format.
#include <cstdio>

#include "textio/textio.h"

namespace pds {

namespace {

[[noreturn]] void fail(int number, const Stream& where) {
  throw Failure(number, where.unit, where.name);
}

[[noreturn]] void misuse(const char* what) {
  throw std::logic_error(what);
}

// Aw on output: a longer text gives its first w characters, a shorter one is
// right-aligned behind blanks. Plain A writes the whole text.
void put_text(std::string& line, const FieldCode& fc, std::string_view s) {
  if (!fc.has_width) {
    line += s;
  } else if (s.size() >= static_cast<std::size_t>(fc.w)) {
    line += s.substr(0, static_cast<std::size_t>(fc.w));
  } else {
    line.append(static_cast<std::size_t>(fc.w) - s.size(), ' ');
    line += s;
  }
}

void put_value(std::string& line, const FieldCode& fc, const Value& v) {
  if (fc.kind == FieldCode::kText) {
    if (v.kind != Value::kText) misuse("text field without a text");
    put_text(line, fc, v.text);
    return;
  }
  char buf[64];
  std::string big;
  char* out = buf;
  if (static_cast<std::size_t>(fc.w) + 1 > sizeof buf) {
    big.resize(static_cast<std::size_t>(fc.w) + 1);
    out = big.data();
  }
  char* end = nullptr;
  if (fc.kind == FieldCode::kInt) {
    if (v.kind != Value::kInt) misuse("integer field without an integer");
    end = fc.w == 0 ? put_i0(out, v.i) : put_i(out, v.i, fc.w, fc.m);
  } else {
    if (v.kind != Value::kReal) misuse("real field without a real");
    end = fc.kind == FieldCode::kFixed ? put_f(out, v.r, fc.w, fc.d) : put_e(out, v.r, fc.w, fc.d);
  }
  line.append(out, end);
}

}  // namespace

void format_line(std::string& line, const LineFormat& fmt, const std::vector<Value>& values,
                 const Stream& where) {
  if (!fmt.valid()) fail(kFormatSyntax, where);
  line.clear();
  std::size_t next = 0, pending_blanks = 0;
  for (const FieldCode& fc : fmt.codes()) {
    for (int r = 0; r < fc.repeat; ++r) {
      if (fc.kind == FieldCode::kSkip) {
        // A skipped position holds a blank only when characters follow it.
        pending_blanks += static_cast<std::size_t>(fc.w);
        continue;
      }
      if (next == values.size()) return;
      line.append(pending_blanks, ' ');
      pending_blanks = 0;
      put_value(line, fc, values[next++]);
    }
  }
  if (next != values.size()) misuse("more values than fields in a line format");
}

namespace {

std::string_view slice(std::string_view line, std::size_t pos, std::size_t w) {
  if (pos >= line.size()) return {};
  return line.substr(pos, w);
}

// Aw on input: a receiver of length L <= w takes the rightmost L characters,
// a longer one the w characters followed by blanks.
void get_text(std::string_view field, std::size_t w, const Target& t) {
  std::string padded(field);
  padded.resize(w, ' ');
  if (t.len <= w) {
    *t.text = padded.substr(w - t.len);
  } else {
    *t.text = padded;
    t.text->resize(t.len, ' ');
  }
}

}  // namespace

void read_fields(std::string_view line, const LineFormat& fmt, const std::vector<Target>& targets,
                 const Stream& where) {
  if (!fmt.valid()) fail(kFormatSyntax, where);
  std::size_t next = 0, pos = 0;
  for (const FieldCode& fc : fmt.codes()) {
    for (int r = 0; r < fc.repeat; ++r) {
      if (fc.kind == FieldCode::kSkip) {
        pos += static_cast<std::size_t>(fc.w);
        continue;
      }
      if (next == targets.size()) return;
      const Target& t = targets[next++];
      std::size_t w =
          fc.kind == FieldCode::kText && !fc.has_width ? t.len : static_cast<std::size_t>(fc.w);
      std::string_view field = slice(line, pos, w);
      pos += w;
      if (fc.kind == FieldCode::kText) {
        if (t.kind != Target::kText) misuse("text field into a number");
        get_text(field, w, t);
      } else if (fc.kind == FieldCode::kInt) {
        if (t.kind != Target::kInt) misuse("integer field into a non-integer");
        if (!parse_int(field, *t.i)) fail(kConversion, where);
      } else {
        if (t.kind != Target::kReal) misuse("real field into a non-real");
        if (!parse_real(field, fc.d, *t.r)) fail(kConversion, where);
      }
    }
  }
  if (next != targets.size()) misuse("more variables than fields in a line format");
}

void read_data_line(std::string_view line, const LineFormat& fmt, double* out,
                    const Stream& where) {
  const FieldCode& f = fmt.codes()[0];
  const FieldCode& e = fmt.codes()[1];
  const std::size_t fw = static_cast<std::size_t>(f.w), ew = static_cast<std::size_t>(e.w);
  if (!parse_real(slice(line, 0, fw), f.d, out[0])) fail(kConversion, where);
  std::size_t pos = fw;
  for (int k = 1; k <= e.repeat; ++k, pos += ew) {
    if (!parse_real(slice(line, pos, ew), e.d, out[k])) fail(kConversion, where);
  }
}

char* put_data_line(char* out, const LineFormat& fmt, double energy, const double* values) {
  const FieldCode& f = fmt.codes()[0];
  const FieldCode& e = fmt.codes()[1];
  out = put_f(out, energy, f.w, f.d);
  for (int k = 0; k < e.repeat; ++k) out = put_e(out, values[k], e.w, e.d);
  *out++ = '\n';
  return out;
}

std::size_t data_line_length(const LineFormat& fmt) {
  const FieldCode& f = fmt.codes()[0];
  const FieldCode& e = fmt.codes()[1];
  return static_cast<std::size_t>(f.w) +
         static_cast<std::size_t>(e.repeat) * static_cast<std::size_t>(e.w) + 1;
}

std::string internal_write(const LineFormat& fmt, std::int64_t v, std::size_t len,
                           const Stream& where) {
  std::string line;
  format_line(line, fmt, {Value(v)}, where);
  if (line.size() > len) fail(kRecordOverflow, where);
  line.resize(len, ' ');
  return line;
}

// Console lines go through stdio's buffer; flush_console() empties it before
// anything is written to standard error, so the two streams stay in order.
void say(std::string_view a, std::string_view b) {
  std::string line = " ";
  line += a;
  line += b;
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stdout);
}

void say_formatted(const LineFormat& fmt, const std::vector<Value>& values) {
  std::string line;
  format_line(line, fmt, values, Stream{kUnitInternal, "console"});
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stdout);
}

void flush_console() {
  std::fflush(stdout);
}

}  // namespace pds
