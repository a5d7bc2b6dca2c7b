// Short machine-readable causes of read failures, for datasets and for
// DoscarError.cause: each refusal carries its own (Failure::cause()), set
// where it is made; a failure without one is told by its number alone.
#include <cerrno>

#include "collect/collect.h"

namespace pds::collect {

std::string failure_cause(const Failure& f) {
  if (!f.cause().empty()) return f.cause();
  if (f.os_error() != 0) {
    if (f.os_error() == ENOENT && f.unit() == kUnitDoscar) return "no-doscar";
    if (f.os_error() == EACCES || f.os_error() == EPERM) return "permission";
    return "os-error";
  }
  switch (f.number()) {
    case kEndOfFile:
      return "truncated";
    case kConversion:
      return "not-a-number";
    case kFormatSyntax:
      return "not-vasp-layout";
    case kRecordOverflow:
      return "too-many-values";
    case 1:
      return f.unit() == kUnitOutput ? "refused-output" : "failure";
    default:
      return "failure";
  }
}

}  // namespace pds::collect
