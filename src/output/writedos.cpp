// The writer of the DOS column files.
#include <sys/stat.h>

#include <string>

#include "output/output.h"
#include "textio/textio.h"

namespace pds {

void writedos(std::string_view filename, double shift, const double* block, std::int64_t rows,
              int n) {
  static const LineFormat kI0 = LineFormat::compile("(I0)");
  std::string column = internal_write(kI0, n, 2, Stream{kUnitInternal, "column count"});
  LineFormat fmt = LineFormat::compile("(F11.3," + std::string(trimmed(column)) + "E12.4)");

  OutFile out(kUnitOutput, filename);
  if (rows > 0 && !fmt.valid()) throw Failure(kFormatSyntax, kUnitOutput, out.stream().name);
  const std::size_t width = static_cast<std::size_t>(n) + 1;
  const std::size_t length = rows > 0 ? data_line_length(fmt) : 0;
  for (std::int64_t i = 0; i < rows; ++i, block += width) {
    char* p = out.reserve(length);
    out.advance(put_data_line(p, fmt, block[0] - shift, block + 1));
  }
  out.close();
}

bool same_file(std::string_view filename, std::string_view other) {
  struct stat a {
  }, b{};
  std::string x(trimmed(filename)), y(trimmed(other));
  if (stat(x.c_str(), &a) != 0 || stat(y.c_str(), &b) != 0) return false;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace pds
