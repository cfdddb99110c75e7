#include "TransferCurve.h"

#include <cmath>

double Rec709Encode(double linear) {
  if (linear <= 0.0) return 0.0;
  if (linear >= 1.0) return 1.0;
  if (linear < 0.018) return 4.5 * linear;
  return 1.099 * std::pow(linear, 0.45) - 0.099;
}

const TransferTable& Rec709Table() {
  static const TransferTable table = [] {
    TransferTable t{};
    for (std::size_t i = 0; i < t.size(); ++i) {
      t[i] = static_cast<std::uint16_t>(std::lround(65535.0 * Rec709Encode(i / 65535.0)));
    }
    return t;
  }();
  return table;
}
