// The general error: one message text. Raising it abandons the current command.
#pragma once

#include <stdexcept>
#include <string>

#include "edsdk/EDSDKTypes.h"

class Exception : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A failing SDK result. The message is exactly "EOS Error: " + 8 upper-case hex digits; the
// code stays available for callers that add a human reason (EdsErrorDescription).
class EosError : public Exception {
 public:
  explicit EosError(EdsError code);
  EdsError code() const noexcept { return code_; }

 private:
  EdsError code_;
};
