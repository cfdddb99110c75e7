#include "RawToDpx.h"

#include <limits>

#include "edsdk/EDSDKApi.h"

namespace {

// Owns one SDK object reference and gives it back exactly once.
class EdsRef {
 public:
  EdsRef() = default;
  EdsRef(const EdsRef&) = delete;
  EdsRef& operator=(const EdsRef&) = delete;
  ~EdsRef() { reset(); }

  EdsBaseRef get() const { return ref_; }
  EdsBaseRef* out() {
    reset();
    return &ref_;
  }
  void reset() {
    if (ref_ != nullptr) EdsRelease(ref_);
    ref_ = nullptr;
  }

 private:
  EdsBaseRef ref_ = nullptr;
};

// The objects of one conversion, released in the order file stream, image, memory stream on
// every path (members are destroyed in reverse declaration order).
struct ConversionObjects {
  EdsRef memoryStream;
  EdsRef image;
  EdsRef fileStream;
};

constexpr EdsUInt32 kLinearOn = 1;

void OpenRawImage(const std::string& rawPath, ConversionObjects& objects) {
  CheckEdsError(EdsCreateFileStream(rawPath.c_str(), kEdsFileCreateDisposition_OpenExisting,
                                    kEdsAccess_Read, objects.fileStream.out()));
  CheckEdsError(EdsCreateImageRef(objects.fileStream.get(), objects.image.out()));
}

void ChooseDevelopPath(EdsImageRef image, const TConvertOptions& options) {
  if (options.Demosaic == kDemosaicAhd) {
    const EdsUInt32 path = kEdsDevelopPath_LibRaw;
    CheckEdsError(EdsSetPropertyData(image, kEdsPropID_DevelopPath, 0, sizeof path, &path));
  }
}

TRawImageSize QueryFullSize(EdsImageRef image) {
  EdsImageInfo info{};
  CheckEdsError(EdsGetImageInfo(image, kEdsImageSrc_FullView, &info));
  return {static_cast<std::int32_t>(info.width), static_cast<std::int32_t>(info.height)};
}

}  // namespace

void CheckEdsError(EdsError code) {
  if (code != EDS_ERR_OK) throw EosError(code);
}

TRawImageSize GetRawImageSize(const std::string& rawPath) {
  ConversionObjects objects;
  OpenRawImage(rawPath, objects);
  return QueryFullSize(objects.image.get());
}

TWhiteBalance AsShotWhiteBalance(const std::string& rawPath) {
  ConversionObjects objects;
  OpenRawImage(rawPath, objects);
  TWhiteBalance balance;
  CheckEdsError(EdsGetPropertyData(objects.image.get(), kEdsPropID_AsShotWhiteBalance, 0,
                                   sizeof balance.multipliers, balance.multipliers.data()));
  return balance;
}

bool UsesOwnDevelopPath(const std::string& rawPath, TConvertOptions options) {
  ConversionObjects objects;
  OpenRawImage(rawPath, objects);
  ChooseDevelopPath(objects.image.get(), options);
  EdsUInt32 path = kEdsDevelopPath_LibRaw;
  // A backend that cannot tell develops every file its one way.
  if (EdsGetPropertyData(objects.image.get(), kEdsPropID_DevelopPath, 0, sizeof path, &path) !=
      EDS_ERR_OK) {
    return false;
  }
  return path == kEdsDevelopPath_Own;
}

namespace {

// Develops rawPath as options say and hands the developed 16-bit RGB buffer to write, while
// the SDK objects that own it are still alive.
template <typename Write>
void DevelopRaw(const std::string& rawPath, TConvertOptions options, Write write) {
  ConversionObjects objects;
  OpenRawImage(rawPath, objects);
  ChooseDevelopPath(objects.image.get(), options);
  if (options.ColorSpace == kColorSpaceLinear) {
    CheckEdsError(EdsSetPropertyData(objects.image.get(), kEdsPropID_LinearRendering, 0,
                                     sizeof kLinearOn, &kLinearOn));
  }
  const TRawImageSize full = QueryFullSize(objects.image.get());
  const EdsRect sourceRect{0, 0, full.Width, full.Height};
  const EdsSize dest =
      options.Resize ? EdsSize{options.Width, options.Height} : EdsSize{full.Width, full.Height};

  // A destination the 32-bit buffer size cannot describe is refused before anything is
  // allocated or written, with the code the SDK uses for a bad parameter. The sides are
  // checked before they are multiplied: near the 32-bit limit even the 64-bit product wraps.
  constexpr std::int64_t kMaxBufferBytes = std::numeric_limits<std::int32_t>::max();
  if (dest.width <= 0 || dest.height <= 0 || dest.width > kMaxBufferBytes / 6 / dest.height) {
    CheckEdsError(EDS_ERR_INVALID_PARAMETER);
  }
  const std::int64_t bufferBytes = std::int64_t{dest.width} * dest.height * 6;

  CheckEdsError(
      EdsCreateMemoryStream(static_cast<EdsUInt64>(bufferBytes), objects.memoryStream.out()));
  CheckEdsError(EdsGetImage(objects.image.get(), kEdsImageSrc_RAWFullView,
                            kEdsTargetImageType_RGB16, sourceRect, dest,
                            objects.memoryStream.get()));

  void* pixels = nullptr;
  EdsUInt64 length = 0;
  EdsGetPointer(objects.memoryStream.get(), &pixels);
  EdsGetLength(objects.memoryStream.get(), &length);
  // A stream that cannot say where its data is, or holds less than the picture, must not
  // become a file whose header promises pixels it lacks.
  if (pixels == nullptr || length < static_cast<EdsUInt64>(bufferBytes)) {
    CheckEdsError(EDS_ERR_INTERNAL_ERROR);
  }
  write(dest.width, dest.height, pixels, static_cast<std::int32_t>(bufferBytes));
}

}  // namespace

void ConvertRawToDpx(const std::string& rawPath, const std::string& outPath,
                     TConvertOptions options) {
  ConvertRawFile(rawPath, outPath, options, TOutputSettings{}, nullptr);
}

const char* OutputExtension(OutputFormat format) {
  return format == OutputFormat::Exr ? ".exr" : ".dpx";
}

void ConvertRawFile(const std::string& rawPath, const std::string& outPath, TConvertOptions options,
                    const TOutputSettings& output, const TFrameInfo* frame) {
  if (output.format == OutputFormat::Exr) {
    options.ColorSpace = kColorSpaceLinear;
    DevelopRaw(rawPath, options,
               [&](std::int32_t width, std::int32_t height, const void* pixels, std::int32_t) {
                 // The developer's buffer is 2-byte aligned memory of native-order samples.
                 WriteExrFile(outPath, width, height,
                              RgbSamples{static_cast<const std::uint16_t*>(pixels), nullptr},
                              output.exr, frame);
               });
    return;
  }
  DevelopRaw(
      rawPath, options,
      [&](std::int32_t width, std::int32_t height, const void* pixels, std::int32_t byteCount) {
        WriteDpxFile(outPath, width, height, options, pixels, byteCount, frame);
      });
}
