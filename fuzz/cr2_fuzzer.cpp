// libFuzzer target: arbitrary bytes through the CR2 decoder. "Not covered" and 0000002D are the
// expected answers; a crash, a sanitizer report, another exception, a huge allocation or a
// decoded sample at or above its stated precision is a finding.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "develop/Cr2Decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::optional<RawPlane> plane;
  try {
    plane = DecodeCr2(std::span<const std::uint8_t>(data, size));
  } catch (const Cr2DataError&) {
    return 0;
  }
  if (!plane) return 0;
  if (plane->width <= 0 || plane->height <= 0 || plane->bits < 1 || plane->bits > 16) {
    __builtin_trap();
  }
  const std::size_t count = std::size_t(plane->width) * std::size_t(plane->height);
  for (std::size_t i = 0; i < count; ++i) {
    if (plane->samples[i] >> plane->bits) __builtin_trap();
  }
  return 0;
}
