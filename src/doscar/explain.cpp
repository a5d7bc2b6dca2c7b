// Failures of the readers in the words of the DOSCAR layout, for programs
// that show a sentence rather than the diagnostic:
//   run1/DOSCAR ends at line 2710, inside the block of atom 8 (a complete
//   file has 2723 lines)
//   run1/DOSCAR: line 12, columns 24-35: '0.14x0E+00' is not a number (in
//   the total block)
#include <string>

#include "doscar/doscar.h"
#include "textio/textio.h"

namespace pds {

namespace {

constexpr const char* kCut = ": the file is cut short (a run or a copy that did not finish)";

std::string str(std::int64_t n) {
  return std::to_string(n);
}

// The part of the file that line n (from 1) belongs to; NPOINTS must be
// known for a line after the header.
std::string part(const DoscarHeader& h, LineLayout l, std::int64_t n) {
  const std::int64_t points = extent(h.NPOINTS);
  if (n <= 6) return "the header";
  if (n <= 6 + points || !l.atoms) return "the total block";
  return "the block of atom " + str((n - 7 - points) / (points * l.per_point + 1) + 1);
}

// Where a file that ends after line n stops, and how long it should be.
std::string end_of_file(const DoscarHeader& h, LineLayout l, std::int64_t n) {
  if (n == 0) return " is empty";
  std::string text = " ends at line " + str(n) + ", inside " + part(h, l, n + 1);
  if (n < 6) return text + " (lines 1-6)";
  const std::int64_t points = extent(h.NPOINTS);
  // Further total blocks have no count that the header gives.
  if (!l.atoms && n >= 6 + points) return text;
  const std::int64_t atoms = l.atoms ? extent(h.NATOMS) * (points * l.per_point + 1) : 0;
  return text + " (a complete file has " + str(6 + points + atoms) + " lines)";
}

// A field without the blanks around it.
std::string_view unpadded(std::string_view field) {
  const std::size_t first = field.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return field.substr(first, field.find_last_not_of(" \t") - first + 1);
}

std::string malformed(const DoscarHeader& h, LineLayout l, const FailureDetail& d) {
  std::string text = ": line " + str(d.line);
  if (d.first_column > 0) {
    text += ", columns " + str(d.first_column) + "-" + str(d.last_column) + ": '" +
            excerpt(unpadded(d.field)) + "' is not a number";
  } else {
    text += ": a number cannot be read";
  }
  return text + " (in " + part(h, l, d.line) + ")";
}

// The lines of a complete file: 0 when the header does not tell (further
// total blocks have no count that it gives).
std::int64_t complete_lines(const DoscarHeader& h, LineLayout l) {
  if (!l.atoms || h.NPOINTS <= 0) return 0;
  const std::int64_t points = extent(h.NPOINTS);
  return 6 + points + extent(h.NATOMS) * (points * l.per_point + 1);
}

// A failure of the compressed data under the text: where the text got to.
// Past the last line, the damage is in what follows it (the checksum).
std::string compressed(const DoscarHeader& h, LineLayout l, const FailureDetail& d) {
  std::string text = ": " + d.cause;
  const std::int64_t last = complete_lines(h, l);
  if (last > 0 && d.line > last) {
    text += ", after the last line of its text (line " + str(last) + ")";
  } else {
    text += ", at line " + str(d.line) + " of its text";
    if (d.line > 6 && h.NPOINTS >= 0) text += " (in " + part(h, l, d.line) + ")";
  }
  return text + ": the file is damaged or incomplete; copy it again";
}

// A file whose data ends inside a line: in a number cut short (64), or
// where NUL bytes follow (24; from column 1: after the line before).
std::string cut(const Failure& f, const DoscarHeader& h, LineLayout l) {
  const FailureDetail& d = f.detail();
  const char* nul = " (what a job killed while writing leaves on some file systems)";
  if (f.number() == kEndOfFile && d.first_column == 1) {
    if (d.line <= 1) return std::string(" holds only NUL bytes: nothing of it was written") + nul;
    return end_of_file(h, l, d.line - 1) + "; NUL bytes follow from line " + str(d.line) + " on" +
           nul + kCut;
  }
  std::string text = " ends inside line " + str(d.line);
  text += f.number() == kEndOfFile
              ? ", after column " + str(d.first_column - 1)
              : ", in the number '" + excerpt(unpadded(d.field)) + "' at columns " +
                    str(d.first_column) + "-" + str(d.last_column);
  text += " (in " + part(h, l, d.line);
  const std::int64_t complete = complete_lines(h, l);
  if (complete > 0) text += "; a complete file has " + str(complete) + " lines";
  return text + ")" + (f.number() == kEndOfFile ? "; NUL bytes follow" + std::string(nul) : "") +
         kCut;
}

// A line that no DOSCAR holds: longer than kMaxTextLine, or with a NUL byte
// in the header.
std::string not_text(const FailureDetail& d) {
  return ": line " + str(d.line) +
         " is not text (a line longer than 1 MiB, or a NUL byte in the header): this is not a "
         "DOSCAR, or it is damaged";
}

}  // namespace

void explain(Failure& f, const DoscarHeader& h, LineLayout layout) {
  FailureDetail& d = f.detail();
  if (!d.text.empty()) return;
  if (f.cause() == "truncated" && d.first_column > 0) {
    d.text = f.file() + cut(f, h, layout);
  } else if (f.cause() == "not-text") {
    d.text = f.file() + not_text(d);
  } else if (!d.cause.empty()) {
    d.text = f.file() + compressed(h, layout, d);
  } else if (f.number() == kEndOfFile) {
    d.text = f.file() + end_of_file(h, layout, d.line) + (d.line == 0 ? "" : kCut);
  } else if (f.number() == kConversion && d.line > 0) {
    d.text = f.file() + malformed(h, layout, d);
  } else {
    d.text = f.file() + ": " + std::string(failure_message(f.number()));
  }
}

}  // namespace pds
