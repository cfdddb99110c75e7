// The ITU-R BT.709 transfer curve as a 16-bit lookup table, applied in the pass that writes the
// developed pixels so that encoding costs one table read per sample.
#pragma once

#include <array>
#include <cstdint>

using TransferTable = std::array<std::uint16_t, 65536>;

// BT.709 opto-electronic transfer: V = 4.5 L for L < 0.018, else 1.099 L^0.45 - 0.099.
double Rec709Encode(double linear);

// Entry i holds round(65535 * Rec709Encode(i / 65535)).
const TransferTable& Rec709Table();
