// Vector types of kWidth floats with their plain loads and stores, and the lane helpers the
// kernels share, for a file built for one instruction set. Included inside that file's anonymous
// namespace after it defines kWidth, so that each copy is compiled for the file's own instructions
// and none can stand in for another. No include guard: every including file needs its own copy.

using Lanes = float __attribute__((vector_size(kWidth * sizeof(float))));
using IntLanesOf = int __attribute__((vector_size(kWidth * sizeof(int))));

inline Lanes LoadWide(const float* p) {
  Lanes v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void StoreWide(float* p, Lanes v) {
  std::memcpy(p, &v, sizeof v);
}

inline Lanes FillLanes(float v) {
  return Lanes{} + v;
}

// Clamped to the 16-bit codes, as std::clamp(v, 0, 65535) orders its comparisons (lane by lane).
inline float ClampCode(float v) {
  return v < 0.0f ? 0.0f : (65535.0f < v ? 65535.0f : v);
}
inline Lanes ClampCode(Lanes v) {
  return v < 0.0f ? FillLanes(0.0f) : (65535.0f < v ? FillLanes(65535.0f) : v);
}
