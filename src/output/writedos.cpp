// The writer of the DOS column files.
#include <sys/stat.h>

#include <string>

#include "output/output.h"
#include "textio/textio.h"

namespace pds {

namespace {

// Opens the file and writes `first_line`, then `rows` lines, each made by
// put_row(out, i, fmt). The column count goes through a two-character text
// first (66 for 100 or more, before the file is opened); a count of 0 makes
// the line format invalid, which fails at the first line (62).
template <typename PutRow>
void write_rows(std::string_view filename, std::int64_t rows, int n, std::string_view first_line,
                PutRow put_row) {
  LineFormat fmt = LineFormat::data_out(n);

  OutFile out(kUnitOutput, filename);
  if (!first_line.empty()) out.write(first_line);
  if (rows > 0 && !fmt.valid()) throw Failure(kFormatSyntax, kUnitOutput, out.stream().name);
  const std::size_t length = rows > 0 ? data_line_length(fmt) : 0;
  for (std::int64_t i = 0; i < rows; ++i) {
    out.advance(put_row(out.reserve(length), i, fmt));
  }
  out.close();
}

}  // namespace

void writedos(std::string_view filename, double shift, const double* block, std::int64_t rows,
              int n, std::string_view first_line) {
  const std::size_t width = static_cast<std::size_t>(n) + 1;
  write_rows(filename, rows, n, first_line, [&](char* p, std::int64_t i, const LineFormat& fmt) {
    const double* row = block + static_cast<std::size_t>(i) * width;
    return put_data_line(p, fmt, row[0] - shift, row + 1);
  });
}

void writedos(std::string_view filename, double shift, const double* energy, const ValueCode* codes,
              const std::vector<double>& specials, std::int64_t rows, int n) {
  write_rows(filename, rows, n, {}, [&](char* p, std::int64_t i, const LineFormat& fmt) {
    return put_coded_line(p, fmt, energy[i] - shift, codes + i * n, specials);
  });
}

bool same_file(std::string_view filename, std::string_view other) {
  struct stat a {
  }, b{};
  std::string x(trimmed(filename)), y(trimmed(other));
  if (stat(x.c_str(), &a) != 0 || stat(y.c_str(), &b) != 0) return false;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool names_doscar(std::string_view filename) {
  const std::string_view name = trimmed(filename);
  const std::size_t slash = name.rfind('/');
  return name.substr(slash == std::string_view::npos ? 0 : slash + 1) == "DOSCAR";
}

}  // namespace pds
