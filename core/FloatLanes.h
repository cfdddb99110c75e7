// Four floats in one SSE register, through the GCC/Clang vector extensions (baseline x86-64, no
// -march): each lane gets exactly the operations the scalar code would apply, so results are
// equal bit for bit and only the count of instructions changes.
#pragma once

#include <cstring>

using FloatLanes = float __attribute__((vector_size(16)));
using IntLanes = int __attribute__((vector_size(16)));
constexpr int kLanes = 4;

inline FloatLanes LoadLanes(const float* p) {
  FloatLanes v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline void StoreLanes(float* p, FloatLanes v) {
  std::memcpy(p, &v, sizeof v);
}

// Lanes p[0], p[2], p[4], p[6]: the photosites of one parity along a row.
inline FloatLanes LoadEvenLanes(const float* p) {
  return __builtin_shufflevector(LoadLanes(p), LoadLanes(p + 4), 0, 2, 4, 6);
}

inline FloatLanes Splat(float v) {
  return FloatLanes{v, v, v, v};
}

// std::fabs, std::max(a, b), std::min(a, b) lane by lane, with the same results (NaN included).
inline FloatLanes AbsLanes(FloatLanes v) {
  return reinterpret_cast<FloatLanes>(reinterpret_cast<IntLanes>(v) & 0x7fffffff);
}
inline FloatLanes MaxLanes(FloatLanes a, FloatLanes b) {
  return a < b ? b : a;
}
inline FloatLanes MinLanes(FloatLanes a, FloatLanes b) {
  return b < a ? b : a;
}
