#include "Exception.h"

#include <cstdio>

namespace {

std::string EosErrorMessage(EdsError code) {
  char digits[9];
  std::snprintf(digits, sizeof digits, "%08X", static_cast<unsigned>(code));
  return std::string("EOS Error: ") + digits;
}

}  // namespace

EosError::EosError(EdsError code) : Exception(EosErrorMessage(code)), code_(code) {}
