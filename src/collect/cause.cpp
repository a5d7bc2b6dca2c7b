// Short machine-readable causes of read failures, for datasets and for
// DoscarError.cause: the failure number alone does not tell them apart
// (several refusals share number 1), where it came from does.
#include <cerrno>

#include "collect/collect.h"

namespace pds::collect {

namespace {

// The stream of a structure file, as structure.cpp's failures name it.
constexpr int kStructureUnit = 12;

bool says(const Failure& f, std::string_view words) {
  return f.detail().text.find(words) != std::string::npos;
}

// Number 1: refused before anything was done.
std::string refusal_cause(const Failure& f) {
  if (f.unit() == kUnitOutput) return "refused-output";
  if (f.unit() == kStructureUnit) {
    // check_structure() names no line; a structure that cannot be read does.
    return f.detail().line == 0 ? "structure-mismatch" : "bad-structure";
  }
  switch (f.detail().line) {
    case 0:
      return "atom-not-in-file";
    case 6:
      return "no-grid-points";
    case 7:
      return "unknown-columns";  // the total block
    default:
      return says(f, "no INCAR") ? "ambiguous-columns" : "unknown-columns";
  }
}

}  // namespace

std::string failure_cause(const Failure& f) {
  if (!f.detail().kind.empty()) return f.detail().kind;
  if (f.os_error() != 0) {
    if (f.os_error() == ENOENT && f.unit() == kUnitDoscar) return "no-doscar";
    if (f.os_error() == EACCES || f.os_error() == EPERM) return "permission";
    return "os-error";
  }
  const bool compressed = !f.detail().cause.empty();
  switch (f.number()) {
    case kEndOfFile:
      return says(f, "no projected DOS") ? "no-pdos" : "truncated";
    case kConversion:
      return compressed ? "corrupt-compressed" : "not-a-number";
    case kFormatSyntax:
      return "not-vasp-layout";
    case kRecordOverflow:
      return "too-many-values";
    case 1:
      return refusal_cause(f);
    default:
      return "failure";
  }
}

}  // namespace pds::collect
