// gen_doscar: writes a synthetic DOSCAR of a chosen shape for benchmarks.
//
//   gen_doscar --atoms N --points P [--spin] [--lm] [--f] [--seed S]
//              [--name TEXT] [--check] -o FILE
//
//   --atoms N    number of atoms, so of per-atom blocks (0 ... 9999; default 1)
//   --points P   energy grid points per block (1 ... 99999; default 301)
//   --spin       spin-polarised: 4 total columns, per-atom columns doubled
//   --lm         l,m-projected orbitals (s p d: 9, with f: 16) instead of
//                l-projected (s p d: 3, with f: 4)
//   --f          include f orbitals
//   --seed S     seed of the pseudo-random numbers (default 1); the same
//                arguments always give the same file, byte for byte
//   --name TEXT  system name on line 5 (default "Benchmark")
//   --check      also render every number with snprintf and stop at the first
//                difference (slow; for testing the generator itself)
//   -o FILE      output file ("-" for standard output)
//
// The file looks like one VASP writes: line 1 "%4d%4d%4d%4d" with NATOMS
// NATOMS 1 0, lines 2-4 volume and lattice data, line 5 the system name,
// line 6 (2F16.8,I5,F16.8) EMAX EMIN NPOINTS EFERMI plus "      1.00000000",
// then the total block (energy "%11.3f", then 2 or 4 values of 12 characters
// in Fortran E12.4 form " -0.1234E-05"), then per atom a copy of line 6 and
// NPOINTS lines of per-atom values. The values follow smooth band-like peaks
// with decaying tails, so they mix magnitudes from E+03 down to E-70, exact
// zeros, and (l,m-projected files) occasional small negative values.
//
// Numbers are rendered by the code below, not by printf, since a large file
// holds tens of millions of them; --check compares both.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

// ------------------------------------------------------------ random numbers

// xoshiro256**, seeded through splitmix64.
class Rng {
 public:
  explicit Rng(std::uint64_t seed) {
    for (auto& s : s_) {
      seed += 0x9e3779b97f4a7c15ull;
      std::uint64_t z = seed;
      z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
      z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
      s = z ^ (z >> 31);
    }
  }
  std::uint64_t next() {
    const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
    const std::uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
  }
  // Uniform in [0, 1).
  double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
  double uniform(double lo, double hi) { return lo + (hi - lo) * uniform(); }

 private:
  static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  std::uint64_t s_[4];
};

// ------------------------------------------------------------ rendering

constexpr char kPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Smallest magnitude written as a number: below it a value is written as an
// exact zero, so every exponent keeps two digits (E12.4 would write
// "0.1234-100" for 1e-101).
constexpr double kTiny = 1e-75;
constexpr double kHuge = 1e98;

// 10^k as long double for k = -110 ... 110.
struct Pow10Table {
  long double p[221];
  Pow10Table() {
    for (int k = -110; k <= 110; ++k) p[k + 110] = std::pow(10.0L, static_cast<long double>(k));
  }
  long double operator()(int k) const { return p[k + 110]; }
};
const Pow10Table kPow10;

// Fortran E12.4 of v: "  0.1234E+01", " -0.1234E-05", "  0.0000E+00".
// The mantissa is v scaled by a power of ten in 64-bit-mantissa arithmetic
// and rounded to the nearest (halfway: even); values below kTiny are 0.
char* put_e12_4(char* p, double v) {
  double a = v < 0 ? -v : v;
  if (!(a >= kTiny)) {
    std::memcpy(p, "  0.0000E+00", 12);
    return p + 12;
  }
  int e2 = 0;
  std::frexp(a, &e2);  // 2^(e2-1) <= a < 2^e2
  // x: the exponent such that 0.1 <= a / 10^x < 1.
  int x = static_cast<int>(std::floor((e2 - 1) * 0.30102999566398120)) + 1;
  while (static_cast<long double>(a) >= kPow10(x)) ++x;
  while (static_cast<long double>(a) < kPow10(x - 1)) --x;
  long long m = std::llrint(static_cast<long double>(a) * kPow10(4 - x));
  if (m >= 10000) {
    m /= 10;  // 10000 exactly: 0.99995... rounded up to 0.1000 E(x+1)
    ++x;
  }
  p[0] = ' ';
  p[1] = v < 0 ? '-' : ' ';
  p[2] = '0';
  p[3] = '.';
  std::memcpy(p + 4, kPairs + 2 * (m / 100), 2);
  std::memcpy(p + 6, kPairs + 2 * (m % 100), 2);
  p[8] = 'E';
  p[9] = x < 0 ? '-' : '+';
  std::memcpy(p + 10, kPairs + 2 * (x < 0 ? -x : x), 2);
  return p + 12;
}

// "%11.3f" of an energy (|e| < 10^6), without a minus sign on a value that
// rounds to zero, as Fortran writes F11.3. e * 1000 is exact in long double.
char* put_f11_3(char* p, double e) {
  long long milli = std::llrint(static_cast<long double>(e) * 1000.0L);
  const bool neg = milli < 0;
  unsigned long long u = static_cast<unsigned long long>(neg ? -milli : milli);
  char* q = p + 11;
  for (int i = 0; i < 3; ++i, u /= 10) *--q = static_cast<char>('0' + u % 10);
  *--q = '.';
  do {
    *--q = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u != 0);
  if (neg) *--q = '-';
  while (q > p) *--q = ' ';
  return p + 11;
}

// The same fields through snprintf, for --check.
std::string ref_e12_4(double v) {
  if (!(std::fabs(v) >= kTiny)) return "  0.0000E+00";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.3E", std::fabs(v));  // d.dddE+xx
  const int x = std::atoi(buf + 6) + 1;
  char out[64];
  std::snprintf(out, sizeof out, " %s0.%c%.3sE%c%02d", v < 0 ? "-" : " ", buf[0], buf + 2,
                x < 0 ? '-' : '+', x < 0 ? -x : x);
  return out;
}

std::string ref_f11_3(double e) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%11.3f", e);
  std::string s = buf;
  if (s == "     -0.000") s = "      0.000";
  return s;
}

// ------------------------------------------------------------ output

class Writer {
 public:
  Writer(std::FILE* f, bool check) : f_(f), check_(check) { buf_.reserve(kCap + 4096); }
  void text(std::string_view s) { buf_.append(s.data(), s.size()); }
  void energy(double e) {
    char tmp[11];
    put_f11_3(tmp, e);
    if (check_) compare(std::string_view(tmp, 11), ref_f11_3(e), e);
    buf_.append(tmp, 11);
  }
  void value(double v) {
    char tmp[12];
    put_e12_4(tmp, v);
    if (check_) compare(std::string_view(tmp, 12), ref_e12_4(v), v);
    buf_.append(tmp, 12);
  }
  void end_line() {
    buf_.push_back('\n');
    if (buf_.size() >= kCap) flush();
  }
  void flush() {
    if (!buf_.empty() && std::fwrite(buf_.data(), 1, buf_.size(), f_) != buf_.size()) {
      std::perror("gen_doscar: write");
      std::exit(1);
    }
    written_ += buf_.size();
    buf_.clear();
  }
  std::uint64_t written() const { return written_; }
  std::uint64_t checked() const { return checked_; }

 private:
  void compare(std::string_view mine, const std::string& ref, double v) {
    ++checked_;
    if (mine == ref) return;
    std::fprintf(stderr, "gen_doscar: --check: %.17g renders as \"%.*s\", snprintf gives \"%s\"\n",
                 v, static_cast<int>(mine.size()), mine.data(), ref.c_str());
    std::exit(1);
  }
  static constexpr std::size_t kCap = std::size_t{8} << 20;
  std::FILE* f_;
  bool check_;
  std::string buf_;
  std::uint64_t written_ = 0, checked_ = 0;
};

// ------------------------------------------------------------ physics-like data

struct Shape {
  int atoms = 1;
  int points = 301;
  bool spin = false, lm = false, f = false, check = false;
  std::uint64_t seed = 1;
  std::string name = "Benchmark";
  std::string out;
};

// Angular momentum l of each orbital column (without spin).
std::vector<int> orbitals(const Shape& s) {
  std::vector<int> l;
  const int lmax = s.f ? 3 : 2;
  for (int q = 0; q <= lmax; ++q) {
    const int copies = s.lm ? 2 * q + 1 : 1;
    for (int m = 0; m < copies; ++m) l.push_back(q);
  }
  return l;
}

// One kind of atom: its per-atom DOS on the grid, points x npcol values,
// a sum of Gaussian bands per l, split unevenly over m and spin.
std::vector<double> species_profile(const Shape& s, const std::vector<double>& grid, double efermi,
                                    Rng& rng) {
  const std::vector<int> orb = orbitals(s);
  const int nspin = s.spin ? 2 : 1;
  const int npcol = static_cast<int>(orb.size()) * nspin;
  std::vector<double> prof(grid.size() * static_cast<std::size_t>(npcol), 0.0);
  // Each band is cut off a few widths from its centre, as the smearing of
  // VASP ends: beyond every band's reach a value is an exact zero.
  struct Band {
    double center, width, weight, reach;
  };
  for (int l = 0; l <= 3; ++l) {
    // A deep semi-core band and a few valence/conduction bands near EF.
    std::vector<Band> bands;
    bands.push_back({efermi + rng.uniform(-28.0, -14.0), rng.uniform(0.15, 0.5),
                     rng.uniform(0.5, 2.0) * (2 * l + 1), rng.uniform(3.0, 14.5)});
    const int nval = 2 + static_cast<int>(rng.uniform() * 3);
    for (int b = 0; b < nval; ++b) {
      bands.push_back({efermi + rng.uniform(-9.0, 6.0), rng.uniform(0.3, 2.5),
                       rng.uniform(0.05, 1.5) * (l == 3 ? 0.1 : 1.0) * (2 * l + 1),
                       rng.uniform(3.0, 14.5)});
    }
    for (std::size_t c = 0; c < orb.size(); ++c) {
      if (orb[c] != l) continue;
      const double msplit = s.lm ? rng.uniform(0.6, 1.4) / (2 * l + 1) : 1.0;
      for (int sp = 0; sp < nspin; ++sp) {
        const double moment = s.spin ? rng.uniform(0.85, 1.15) : 1.0;
        const std::size_t col = c * static_cast<std::size_t>(nspin) + static_cast<std::size_t>(sp);
        for (std::size_t j = 0; j < grid.size(); ++j) {
          double v = 0.0;
          for (const Band& b : bands) {
            const double z = (grid[j] - b.center) / b.width;
            if (z * z > b.reach * b.reach) continue;
            v += b.weight / (b.width * 2.5066282746310002) * std::exp(-0.5 * z * z);
          }
          prof[j * static_cast<std::size_t>(npcol) + col] = v * msplit * moment;
        }
      }
    }
  }
  return prof;
}

[[noreturn]] void usage(int status) {
  std::fputs(
      "usage: gen_doscar --atoms N --points P [--spin] [--lm] [--f] [--seed S]\n"
      "                  [--name TEXT] [--check] -o FILE\n"
      "Writes a synthetic VASP DOSCAR: N atoms (0-9999), P grid points (1-99999),\n"
      "spin-polarised or not, l- or l,m-projected, with or without f orbitals.\n",
      status == 0 ? stdout : stderr);
  std::exit(status);
}

long long number(const char* text, long long lo, long long hi, const char* what) {
  char* end = nullptr;
  long long v = std::strtoll(text, &end, 10);
  if (end == text || *end != '\0' || v < lo || v > hi) {
    std::fprintf(stderr, "gen_doscar: %s must be an integer from %lld to %lld\n", what, lo, hi);
    std::exit(2);
  }
  return v;
}

Shape parse(int argc, char** argv) {
  Shape s;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) usage(2);
      return argv[++i];
    };
    if (a == "--atoms") {
      s.atoms = static_cast<int>(number(value(), 0, 9999, "--atoms"));
    } else if (a == "--points") {
      s.points = static_cast<int>(number(value(), 1, 99999, "--points"));
    } else if (a == "--seed") {
      s.seed = static_cast<std::uint64_t>(number(value(), 0, 1LL << 62, "--seed"));
    } else if (a == "--name") {
      s.name = value();
    } else if (a == "-o") {
      s.out = value();
    } else if (a == "--spin") {
      s.spin = true;
    } else if (a == "--lm") {
      s.lm = true;
    } else if (a == "--f") {
      s.f = true;
    } else if (a == "--check") {
      s.check = true;
    } else if (a == "-h" || a == "--help") {
      usage(0);
    } else {
      std::fprintf(stderr, "gen_doscar: unknown argument %s\n", argv[i]);
      usage(2);
    }
  }
  if (s.out.empty()) usage(2);
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  const Shape s = parse(argc, argv);
  const auto t0 = std::chrono::steady_clock::now();
  Rng rng(s.seed);

  const int nspin = s.spin ? 2 : 1;
  const int norb = static_cast<int>(orbitals(s).size());
  const int ntcol = 2 * nspin, npcol = norb * nspin;

  // Energy grid and Fermi level, as VASP lays them out.
  const double efermi = rng.uniform(-5.0, 8.0);
  const double emin = efermi - rng.uniform(28.0, 32.0);
  const double emax = efermi + rng.uniform(12.0, 16.0);
  std::vector<double> grid(static_cast<std::size_t>(s.points));
  for (int j = 0; j < s.points; ++j) {
    grid[static_cast<std::size_t>(j)] =
        s.points == 1 ? emin : emin + (emax - emin) * j / (s.points - 1);
  }

  std::FILE* f = s.out == "-" ? stdout : std::fopen(s.out.c_str(), "wb");
  if (f == nullptr) {
    std::perror(("gen_doscar: " + s.out).c_str());
    return 1;
  }
  std::setvbuf(f, nullptr, _IONBF, 0);  // Writer hands over large blocks
  Writer w(f, s.check);

  // Header lines 1-6.
  char line[256];
  std::snprintf(line, sizeof line, "%4d%4d%4d%4d\n", s.atoms, s.atoms, 1, 0);
  w.text(line);
  const double volume = 11.5 * std::max(s.atoms, 1) * rng.uniform(0.9, 1.1);
  const double a = std::cbrt(volume) * 1e-10;
  std::snprintf(line, sizeof line, "  %.7E  %.7E  %.7E  %.7E  %.7E\n", volume, a, a, a, 0.5e-15);
  w.text(line);
  w.text("  1.000000000000000E-004\n");
  w.text("  CAR \n");
  std::snprintf(line, sizeof line, " %-40.40s\n", s.name.c_str());
  w.text(line);
  char block_header[128];
  std::snprintf(block_header, sizeof block_header, "%16.8f%16.8f%5d%16.8f%16.8f\n", emax, emin,
                s.points, efermi, 1.0);
  w.text(block_header);

  // A few kinds of atom; each atom is one of them with its own scale.
  const int nspecies = std::clamp(s.atoms, 1, 4);
  std::vector<std::vector<double>> species;
  for (int k = 0; k < nspecies; ++k) species.push_back(species_profile(s, grid, efermi, rng));
  const std::size_t np = static_cast<std::size_t>(npcol);

  // Total block: per spin the DOS summed over atoms and its running integral.
  const double de = s.points > 1 ? (emax - emin) / (s.points - 1) : 0.0;
  std::vector<double> integral(static_cast<std::size_t>(nspin), 0.0);
  for (std::size_t j = 0; j < grid.size(); ++j) {
    double dos[2] = {0.0, 0.0};
    for (int at = 0; at < s.atoms; ++at) {
      const double* row = species[static_cast<std::size_t>(at % nspecies)].data() + j * np;
      for (std::size_t c = 0; c < np; ++c) dos[c % static_cast<std::size_t>(nspin)] += row[c];
    }
    w.energy(grid[j]);
    for (int sp = 0; sp < nspin; ++sp) w.value(dos[sp]);
    for (int sp = 0; sp < nspin; ++sp) {
      integral[static_cast<std::size_t>(sp)] += dos[sp] * de;
      w.value(integral[static_cast<std::size_t>(sp)]);
    }
    w.end_line();
  }

  // Per-atom blocks.
  std::vector<double> scale(np);
  for (int at = 0; at < s.atoms; ++at) {
    const std::vector<double>& prof = species[static_cast<std::size_t>(at % nspecies)];
    for (double& x : scale) x = rng.uniform(0.8, 1.2);
    w.text(block_header);
    for (std::size_t j = 0; j < grid.size(); ++j) {
      w.energy(grid[j]);
      const double* row = prof.data() + j * np;
      for (std::size_t c = 0; c < np; ++c) {
        const std::uint64_t r = rng.next();
        // Multiplicative noise of +-3 % from the top bits of r.
        double v = row[c] * scale[c] * (0.97 + 0.06 * static_cast<double>(r >> 40) * 0x1.0p-24);
        // l,m projections of VASP carry small negative values now and then.
        if (s.lm && v < 1e-3 && (r & 0xff) < 3) v = -v;
        if (v > kHuge) v = kHuge;
        w.value(v);
      }
      w.end_line();
    }
  }
  w.flush();
  if (f != stdout && std::fclose(f) != 0) {
    std::perror("gen_doscar: close");
    return 1;
  }
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::string checked;
  if (s.check) checked = ", " + std::to_string(w.checked()) + " fields checked";
  std::fprintf(stderr,
               "gen_doscar: %s: %d atoms, %d points, NTCOL %d, NPCOL %d, %llu bytes, %.2f s%s\n",
               s.out.c_str(), s.atoms, s.points, ntcol, npcol,
               static_cast<unsigned long long>(w.written()), secs, checked.c_str());
  return 0;
}
