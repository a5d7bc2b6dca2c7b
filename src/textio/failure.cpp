// Run-time failures: their numbers, messages and the diagnostic lines.
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "textio/textio.h"

namespace pds {

Failure::Failure(int number, int unit, std::string file, int os_error)
    : std::runtime_error(std::string(failure_message(number))),
      number_(number),
      unit_(unit),
      file_(std::move(file)),
      os_error_(os_error) {}

std::string_view failure_message(int number) {
  switch (number) {
    case kPermission:
      return "permission to access file denied";
    case kEndOfFile:
      return "end-of-file during read";
    case kNotFound:
      return "file not found";
    case kOpenFailure:
      return "open failure";
    case kWriteError:
      return "error during write";
    case kReadError:
      return "error during read";
    case kNameError:
      return "file name specification error";
    case kFreeSyntax:
      return "syntax error in list-directed input";
    case kFormatSyntax:
      return "syntax error in format";
    case kConversion:
      return "input conversion error";
    case kRecordOverflow:
      return "output statement overflows record";
    default:
      return "unexpected failure";
  }
}

namespace {

// A relative name is shown behind the working directory.
std::string full_name(const std::string& name) {
  if (!name.empty() && name[0] == '/') return name;
  std::string cwd(4096, '\0');
  if (getcwd(cwd.data(), cwd.size()) == nullptr) return name;
  cwd.resize(std::strlen(cwd.c_str()));
  return cwd + "/" + name;
}

}  // namespace

std::string diagnostic(const Failure& f) {
  std::string out;
  if (f.os_error() != 0) out += "pdsplit: " + std::string(std::strerror(f.os_error())) + "\n";
  out += "pdsplit: severe (" + std::to_string(f.number()) + "): ";
  out += failure_message(f.number());
  if (f.unit() == kUnitInternal) {
    // Text variables and command-line arguments have no stream of their own.
    out += ", unit internal, file " + f.file();
  } else {
    out += ", unit " + std::to_string(f.unit()) + ", file " + full_name(f.file());
  }
  return out + "\n";
}

namespace {

// Whether the exact parsers take `field` as the field code asks; text and
// skipped positions always pass.
bool readable(const FieldCode& fc, std::string_view field) {
  std::int32_t i;
  double v;
  switch (fc.kind) {
    case FieldCode::kInt:
      return parse_int(field, i);
    case FieldCode::kFixed:
    case FieldCode::kExp:
      return parse_real_exact(field, fc.d, v);
    default:
      return true;
  }
}

}  // namespace

void locate_malformed_field(Failure& f, std::string_view line, const LineFormat& fmt,
                            std::int64_t number) {
  FailureDetail& d = f.detail();
  d.line = number;
  if (f.number() != kConversion || !fmt.valid()) return;
  std::size_t pos = 0;
  for (const FieldCode& fc : fmt.codes()) {
    if (fc.kind == FieldCode::kText && !fc.has_width) return;  // its width is the receiver's
    const auto w = static_cast<std::size_t>(fc.w);
    for (int r = 0; r < fc.repeat; ++r, pos += w) {
      const std::string_view field = pos < line.size() ? line.substr(pos, w) : std::string_view();
      if (!readable(fc, field)) {
        d.first_column = static_cast<int>(pos + 1);
        d.last_column = static_cast<int>(pos + w);
        d.field = std::string(field);
        return;
      }
    }
  }
}

namespace {

// The length of the UTF-8 sequence at the start of `s`, or 0 when it is not
// one (a stray byte, an overlong form, a surrogate).
std::size_t utf8_length(std::string_view s) {
  const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char c = b(0);
  const std::size_t n = c >= 0xc2 && c <= 0xdf   ? 2
                        : c >= 0xe0 && c <= 0xef ? 3
                        : c >= 0xf0 && c <= 0xf4 ? 4
                                                 : 0;
  if (n == 0 || s.size() < n) return 0;
  for (std::size_t i = 1; i < n; ++i) {
    if ((b(i) & 0xc0) != 0x80) return 0;
  }
  const unsigned char second = b(1);
  if ((c == 0xe0 && second < 0xa0) || (c == 0xed && second >= 0xa0) ||
      (c == 0xf0 && second < 0x90) || (c == 0xf4 && second >= 0x90)) {
    return 0;
  }
  return n;
}

}  // namespace

std::string excerpt(std::string_view text) {
  constexpr std::size_t kShown = 40;
  static const char* const kHex = "0123456789abcdef";
  std::string out;
  std::size_t i = 0;
  for (; i < text.size() && i < kShown;) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const std::size_t n = c < 0x80 ? 1 : utf8_length(text.substr(i));
    if (c == '\\' || c == '"') {
      out += {'\\', static_cast<char>(c)};
    } else if (c == '\t' || c == '\n' || c == '\r') {
      out += {'\\', c == '\t' ? 't' : c == '\n' ? 'n' : 'r'};
    } else if (c < 0x20 || c == 0x7f || n == 0) {
      out += {'\\', 'x', kHex[c >> 4], kHex[c & 15]};
    } else {
      out += text.substr(i, n);
    }
    i += n == 0 ? 1 : n;
  }
  if (i < text.size()) out += "...";
  return out;
}

int open_failure_number(int os_error) {
  switch (os_error) {
    case EACCES:
    case EPERM:
    case EROFS:
      return kPermission;
    case ENOENT:
      return kNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
      return kNameError;
    default:
      return kOpenFailure;
  }
}

double cpu_time() {
  rusage ru{};
  if (getrusage(RUSAGE_SELF, &ru) != 0) return 0.0;
  auto secs = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return secs(ru.ru_utime) + secs(ru.ru_stime);
}

std::string fixed(std::string_view s, std::size_t len) {
  std::string out(s.substr(0, len));
  out.resize(len, ' ');
  return out;
}

std::string_view trimmed(std::string_view s) {
  std::size_t n = s.size();
  while (n > 0 && s[n - 1] == ' ') --n;
  return s.substr(0, n);
}

}  // namespace pds
