// The INCAR settings a dataset row reports: ISPIN, LORBIT, LSORBIT, NEDOS,
// ISMEAR and SIGMA, as written.
#include <memory>

#include "collect/collect.h"
#include "doscar/doscar.h"

namespace pds::collect {

namespace {

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
  incar_statements(incar, [&](std::string_view tag, std::string_view value) {
    for (std::size_t t = 0; t < values.size(); ++t) {
      if (tag == kIncarTags[t]) values[t] = std::string(value);
    }
  });
  std::vector<std::pair<std::string, std::string>> out;
  for (std::size_t t = 0; t < values.size(); ++t) {
    if (values[t]) out.emplace_back(kIncarTags[t], *values[t]);
  }
  return out;
}

std::optional<std::string> read_incar(const std::string& folder) {
  for (const char* name : {"INCAR", "INCAR.gz", "INCAR.xz", "INCAR.bz2"}) {
    // A regular file only: a FIFO or device named INCAR is as if absent.
    int err = 0;
    unsigned mode = 0;
    const int fd = open_regular(folder + "/" + name, err, mode);
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
