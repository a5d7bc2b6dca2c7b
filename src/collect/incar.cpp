// The INCAR settings a dataset row reports: ISPIN, LORBIT, LSORBIT, NEDOS,
// ISMEAR and SIGMA, as written.
#include <fcntl.h>

#include <algorithm>
#include <cctype>
#include <memory>

#include "collect/collect.h"

namespace pds::collect {

namespace {

std::string_view strip(std::string_view s) {
  const std::size_t first = s.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

std::string upper(std::string_view s) {
  std::string u(s);
  for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return u;
}

// One statement "TAG = value" into `values` (indexed as kIncarTags).
void take(std::string_view statement, std::vector<std::optional<std::string>>& values) {
  const std::size_t eq = statement.find('=');
  if (eq == std::string_view::npos) return;
  const std::string tag = upper(strip(statement.substr(0, eq)));
  for (std::size_t t = 0; t < values.size(); ++t) {
    if (tag == kIncarTags[t]) values[t] = std::string(strip(statement.substr(eq + 1)));
  }
}

// Every byte of `source`, up to kMaxIncar.
std::string all_bytes(ByteSource& source) {
  constexpr std::size_t kMaxIncar = std::size_t{1} << 22;
  std::string s;
  std::size_t got = 0;
  do {
    s.resize(got + 65536);
    const std::size_t n = source.read(s.data() + got, 65536);
    if (n == 0) break;
    got += n;
  } while (got < kMaxIncar);
  s.resize(got);
  return s;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> incar_settings(std::string_view incar) {
  std::vector<std::optional<std::string>> values(std::size(kIncarTags));
  while (!incar.empty()) {
    const std::size_t nl = incar.find('\n');
    std::string_view line = incar.substr(0, nl);
    incar = nl == std::string_view::npos ? std::string_view() : incar.substr(nl + 1);
    line = line.substr(0, line.find_first_of("!#"));
    while (!line.empty()) {
      const std::size_t semi = line.find(';');
      take(line.substr(0, semi), values);
      line = semi == std::string_view::npos ? std::string_view() : line.substr(semi + 1);
    }
  }
  std::vector<std::pair<std::string, std::string>> out;
  for (std::size_t t = 0; t < values.size(); ++t) {
    if (values[t]) out.emplace_back(kIncarTags[t], *values[t]);
  }
  return out;
}

std::optional<std::string> read_incar(const std::string& folder) {
  for (const char* name : {"INCAR", "INCAR.gz", "INCAR.xz", "INCAR.bz2"}) {
    const int fd = ::open((folder + "/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    try {
      // The bytes as they are (an INCAR is small), then decoded when they
      // are gzip, xz or bzip2 data: no line buffer, no second thread for
      // the plain file of most runs.
      std::string raw = all_bytes(*descriptor_source(fd, true));
      std::unique_ptr<ByteSource> text = decompressed(memory_source(raw.data(), raw.size()));
      return all_bytes(*text);
    } catch (const Failure&) {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

}  // namespace pds::collect
