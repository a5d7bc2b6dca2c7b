// Fuzz target: the compact value codes of DOSCAR data lines against the
// plain read and write of the same line.
//
// Input: byte 0 chooses the column count n (1..40), the rest is one data
// line. The line is read twice with (F11.3,nE12.4e2): into doubles
// (read_data_line) and into an energy and value codes (read_coded_line).
// Properties: both reads fail with 64 or neither does; the energies are the
// same double; every code stands for the double the plain read gave (a zero
// of either sign for a zero); and the output line written from the codes
// (put_coded_line) is byte for byte the one the exact renderers write from
// the doubles (put_data_line with the fast paths off).
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "textio/textio.h"

namespace {

int read_failure(const std::function<void()>& f) {
  try {
    f();
  } catch (const pds::Failure& e) {
    return e.number();
  }
  return 0;
}

bool same_value(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  if (a == 0 && b == 0) return true;  // the sign of a zero is never written
  return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const int n = 1 + data[0] % 40;
  const std::string_view line(reinterpret_cast<const char*>(data + 1), size - 1);
  if (line.find('\n') != std::string_view::npos) return 0;  // one line only
  static std::vector<pds::LineFormat> in, out;
  if (in.empty()) {
    for (int k = 0; k <= 40; ++k) {
      in.push_back(pds::LineFormat::data_in(k));
      out.push_back(pds::LineFormat::data_out(k));
    }
  }
  const pds::Stream where{pds::kUnitDoscar, "fuzz"};

  std::vector<double> plain(static_cast<std::size_t>(n) + 1);
  double energy = 0;
  std::vector<pds::ValueCode> codes(static_cast<std::size_t>(n));
  std::vector<double> specials;
  const int f1 = read_failure([&] { pds::read_data_line(line, in[n], plain.data(), where); });
  const int f2 = read_failure(
      [&] { pds::read_coded_line(line, in[n], energy, codes.data(), specials, where); });
  FUZZ_CHECK(f1 == f2);
  FUZZ_CHECK(f1 == 0 || f1 == pds::kConversion);
  if (f1 != 0) return 0;

  FUZZ_CHECK(same_value(energy, plain[0]));
  for (int k = 0; k < n; ++k)
    FUZZ_CHECK(same_value(pds::code_value(codes[static_cast<std::size_t>(k)], specials),
                          plain[static_cast<std::size_t>(k) + 1]));

  const std::size_t len = pds::data_line_length(out[n]);
  std::string coded(len + 16, '#'), exact(len + 16, '#');
  char* end1 = pds::put_coded_line(coded.data(), out[n], energy, codes.data(), specials);
  pds::set_fast_paths(false);
  char* end2 = pds::put_data_line(exact.data(), out[n], plain[0], plain.data() + 1);
  pds::set_fast_paths(true);
  FUZZ_CHECK(end1 == coded.data() + len && end2 == exact.data() + len);
  if (coded != exact) {
    std::fprintf(fuzz_report_stream(), "coded: %s\nexact: %s\n", coded.c_str(), exact.c_str());
  }
  FUZZ_CHECK(coded == exact);
  return 0;
}
