// libFuzzer target: arbitrary bytes through the DPX decoder. Clean errors are expected; a
// crash, a sanitizer report, a huge allocation or a picture whose bytes do not match its size
// is a finding.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "DPXLib.h"
#include "Exception.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream stream(std::string(reinterpret_cast<const char*>(data), size));
  TDPXImage image;
  try {
    image.ReadDpxImage(stream);
  } catch (const Exception&) {
    return 0;
  }
  if (image.Bytes().size() != std::size_t(image.Width()) * std::size_t(image.Height()) * 3) {
    __builtin_trap();
  }
  return 0;
}
