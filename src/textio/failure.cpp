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
