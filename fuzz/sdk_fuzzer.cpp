// libFuzzer target: arbitrary bytes as a RAW file through the SDK layer, the way the program
// uses it: the size query, then a conversion resized to 64x48. Clean errors are expected; a
// crash, a sanitizer report, or an output file that is not a whole DPX is a finding.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "RawToDpx.h"
#include "edsdk/EDSDKApi.h"

namespace fs = std::filesystem;

namespace {

constexpr std::int32_t kWidth = 64;
constexpr std::int32_t kHeight = 48;

// A private folder for the input and output files, removed when the fuzzer exits.
class WorkFolder {
 public:
  WorkFolder() {
    const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/tarn-sdk-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) __builtin_trap();
    folder_ = pattern;
  }
  ~WorkFolder() {
    std::error_code ec;
    fs::remove_all(folder_, ec);
  }
  fs::path Input() const { return folder_ / "input.cr2"; }
  fs::path Output() const { return folder_ / "output.dpx"; }

 private:
  fs::path folder_;
};

WorkFolder& Work() {
  static WorkFolder work;
  return work;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  EdsInitializeSDK();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fs::path input = Work().Input();
  const fs::path output = Work().Output();
  {
    std::ofstream file(input, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  std::error_code ec;
  fs::remove(output, ec);

  TConvertOptions options;
  options.Resize = true;
  options.Width = kWidth;
  options.Height = kHeight;
  options.ColorSpace = size % 2;  // both renderings
  bool converted = false;
  try {
    GetRawImageSize(input.string());
    ConvertRawToDpx(input.string(), output.string(), options);
    converted = true;
  } catch (const Exception&) {
  }

  // A conversion either leaves a whole file or none at all.
  const bool exists = fs::exists(output, ec);
  if (converted != exists) __builtin_trap();
  if (converted && fs::file_size(output, ec) != 2048u + kWidth * kHeight * 6) __builtin_trap();
  return 0;
}
