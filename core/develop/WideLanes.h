// Vector types of kWidth floats with their plain loads and stores, for a file built for one
// instruction set. Included inside that file's anonymous namespace after it defines kWidth, so
// that each copy is compiled for the file's own instructions and none can stand in for another.
// No include guard: every including file needs its own copy.

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
