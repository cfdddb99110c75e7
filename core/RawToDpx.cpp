#include "RawToDpx.h"

#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <optional>

#include "develop/ColourSpaces.h"
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

struct CameraData {
  bool hasMatrix = false;
  CameraResponse colour;
};

CameraData QueryCameraData(EdsImageRef image) {
  CameraData data;
  Matrix3 matrix{};
  if (EdsGetPropertyData(image, kEdsPropID_CameraMatrix, 0, sizeof matrix, matrix.data()) !=
      EDS_ERR_OK) {
    return data;
  }
  CheckEdsError(EdsGetPropertyData(image, kEdsPropID_DaylightWhiteBalance, 0,
                                   sizeof data.colour.daylight, data.colour.daylight.data()));
  data.colour.cameraToRec709 = matrix;
  data.hasMatrix = true;
  return data;
}

Vector3 MultipliersForTemperature(EdsImageRef image, const std::string& rawPath, double kelvin,
                                  double tint) {
  // The locus approximation holds to 15000 K; a value beyond is refused, not quietly bent.
  if (!(kelvin >= kMinKelvin && kelvin <= kMaxKelvin) || !(std::fabs(tint) <= kMaxTint)) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "\": a white balance of %.0f K, tint %.1f, is outside %.0f to %.0f K and tint "
                  "-%.0f to %.0f",
                  kelvin, tint, kMinKelvin, kMaxKelvin, kMaxTint, kMaxTint);
    throw Exception("\"" + rawPath + text);
  }
  const CameraData camera = QueryCameraData(image);
  if (!camera.hasMatrix) {
    throw Exception("\"" + rawPath +
                    "\": its camera has no colour matrix, so a white balance by colour "
                    "temperature cannot be worked out; give multipliers or use as shot");
  }
  return MultipliersForWhite(camera.colour, WhiteOfTemperature(kelvin, tint));
}

// The colour choices that differ from the as-shot Rec.709 renderings; defaults set nothing, so
// those files develop exactly as before.
void ApplyColourOptions(EdsImageRef image, const std::string& rawPath,
                        const TConvertOptions& options) {
  if (options.ColorSpace > kColorSpaceLinear && options.ColorSpace < kColorSpaceCount) {
    const EdsUInt32 space = options.ColorSpace;
    CheckEdsError(EdsSetPropertyData(image, kEdsPropID_ColorSpace, 0, sizeof space, &space));
  }
  if (options.WhiteBalance != kWhiteBalanceAsShot) {
    EdsUInt32 mode = kEdsWhiteBalance_Daylight;
    if (options.WhiteBalance == kWhiteBalanceMultipliers ||
        options.WhiteBalance == kWhiteBalanceTemperature) {
      mode = kEdsWhiteBalance_Multipliers;
      const Vector3 multipliers =
          options.WhiteBalance == kWhiteBalanceTemperature
              ? MultipliersForTemperature(image, rawPath, options.WhiteBalanceKelvin,
                                          options.WhiteBalanceTint)
              : options.WhiteBalanceMultipliers;
      CheckEdsError(EdsSetPropertyData(image, kEdsPropID_WhiteBalanceMultipliers, 0,
                                       sizeof multipliers, multipliers.data()));
    }
    CheckEdsError(EdsSetPropertyData(image, kEdsPropID_WhiteBalance, 0, sizeof mode, &mode));
  }
  if (options.ExposureStops != 0) {
    const double stops = options.ExposureStops;
    CheckEdsError(EdsSetPropertyData(image, kEdsPropID_ExposureStops, 0, sizeof stops, &stops));
  }
  if (options.Highlights == kHighlightsReconstruct) {
    const EdsUInt32 reconstruct = 1;
    CheckEdsError(
        EdsSetPropertyData(image, kEdsPropID_Highlights, 0, sizeof reconstruct, &reconstruct));
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

namespace {

TWhiteBalance QueryAsShotWhiteBalance(EdsImageRef image) {
  TWhiteBalance balance;
  CheckEdsError(EdsGetPropertyData(image, kEdsPropID_AsShotWhiteBalance, 0,
                                   sizeof balance.multipliers, balance.multipliers.data()));
  return balance;
}

}  // namespace

TWhiteBalance AsShotWhiteBalance(const std::string& rawPath) {
  ConversionObjects objects;
  OpenRawImage(rawPath, objects);
  return QueryAsShotWhiteBalance(objects.image.get());
}

TCameraColour CameraColour(const std::string& rawPath) {
  ConversionObjects objects;
  OpenRawImage(rawPath, objects);
  TCameraColour result;
  result.asShot = QueryAsShotWhiteBalance(objects.image.get());
  const CameraData camera = QueryCameraData(objects.image.get());
  if (!camera.hasMatrix) return result;
  result.hasMatrix = true;
  result.cameraToRec709 = camera.colour.cameraToRec709;
  const Temperature t =
      TemperatureOfWhite(WhiteOfMultipliers(camera.colour, result.asShot.multipliers));
  result.kelvin = t.kelvin;
  result.tint = t.tint;
  return result;
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

// Tells a stream's reader how many of its bytes are final while the SDK fills it.
struct StreamProgress {
  std::function<void(std::uint64_t bytes)> ready;
  std::uint64_t rowBytes = 0;
  std::int32_t height = 0;
};

EdsError OnStreamProgress(EdsUInt32 percent, EdsVoid* context, EdsBool* /*cancel*/) {
  const auto* progress = static_cast<const StreamProgress*>(context);
  if (!progress->ready) return EDS_ERR_OK;
  const std::uint64_t rows = std::uint64_t{percent} * std::uint64_t(progress->height) / 100;
  progress->ready(rows * progress->rowBytes);
  return EDS_ERR_OK;
}

// Develops rawPath as options say into a 16-bit RGB buffer. sink.Begin(width, height, pixels,
// bytes) learns where the picture goes before it develops and returns what should hear, while
// it develops, how many bytes from the start are final (or an empty function); sink.End(width,
// height, pixels, bytes) gets the developed picture while the SDK objects that own it are alive.
// sink.Abandon() is called when the develop fails after Begin: the sink lets go of the picture
// before its memory goes back to the SDK.
template <typename Sink>
void DevelopRaw(const std::string& rawPath, TConvertOptions options, Sink& sink) {
  ConversionObjects objects;
  OpenRawImage(rawPath, objects);
  ChooseDevelopPath(objects.image.get(), options);
  if (options.ColorSpace == kColorSpaceLinear) {
    CheckEdsError(EdsSetPropertyData(objects.image.get(), kEdsPropID_LinearRendering, 0,
                                     sizeof kLinearOn, &kLinearOn));
  }
  ApplyColourOptions(objects.image.get(), rawPath, options);
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
  struct AbandonUnlessEnded {
    Sink& sink;
    bool ended = false;
    ~AbandonUnlessEnded() {
      if (!ended) sink.Abandon();
    }
  } guard{sink};
  // Where the backend reports progress, the sink may use the rows that are final while the rest
  // develops; elsewhere it gets the picture once it is done.
  StreamProgress progress;
  progress.rowBytes = std::uint64_t(dest.width) * 6;
  progress.height = dest.height;
  void* target = nullptr;
  if (EdsSetProgressCallback(objects.memoryStream.get(), &OnStreamProgress,
                             kEdsProgressOption_Periodically, &progress) == EDS_ERR_OK) {
    EdsGetPointer(objects.memoryStream.get(), &target);
    if (target != nullptr) {
      progress.ready = sink.Begin(dest.width, dest.height, target, bufferBytes);
    }
  }
  CheckEdsError(EdsGetImage(objects.image.get(), kEdsImageSrc_RAWFullView,
                            kEdsTargetImageType_RGB16, sourceRect, dest,
                            objects.memoryStream.get()));

  void* pixels = nullptr;
  EdsUInt64 length = 0;
  EdsGetPointer(objects.memoryStream.get(), &pixels);
  EdsGetLength(objects.memoryStream.get(), &length);
  // A stream that cannot say where its data is, or holds less than the picture, must not
  // become a file whose header promises pixels it lacks.
  if (pixels == nullptr || length < static_cast<EdsUInt64>(bufferBytes) ||
      (target != nullptr && pixels != target)) {
    CheckEdsError(EDS_ERR_INTERNAL_ERROR);
  }
  sink.End(dest.width, dest.height, pixels, static_cast<std::int32_t>(bufferBytes));
  guard.ended = true;
}

}  // namespace

void ConvertRawToDpx(const std::string& rawPath, const std::string& outPath,
                     TConvertOptions options) {
  ConvertRawFile(rawPath, outPath, options, TOutputSettings{}, nullptr);
}

std::uint8_t ExrColorSpace(std::uint8_t colorSpace) {
  if (colorSpace == kColorSpaceAcesCct) return kColorSpaceAcesCg;
  return IsLinearColorSpace(colorSpace) ? colorSpace : kColorSpaceLinear;
}

const char* OutputExtension(OutputFormat format) {
  return format == OutputFormat::Exr ? ".exr" : ".dpx";
}

void ConvertRawFile(const std::string& rawPath, const std::string& outPath, TConvertOptions options,
                    const TOutputSettings& output, const TFrameInfo* frame) {
  if (output.format == OutputFormat::Exr) {
    options.ColorSpace = ExrColorSpace(options.ColorSpace);
    const RgbPrimaries& p = OutputPrimaries(options.ColorSpace);
    const auto f = [](double v) { return static_cast<float>(v); };
    const ExrPrimaries primaries{{f(p.red.x), f(p.red.y)},
                                 {f(p.green.x), f(p.green.y)},
                                 {f(p.blue.x), f(p.blue.y)},
                                 {f(p.white.x), f(p.white.y)}};
    struct ExrSink {
      std::function<void(std::uint64_t)> Begin(std::int32_t, std::int32_t, void*, std::int64_t) {
        return {};
      }
      void Abandon() {}
      void End(std::int32_t width, std::int32_t height, const void* pixels, std::int32_t) {
        // The developer's buffer is 2-byte aligned memory of native-order samples.
        WriteExrFile(outPath, width, height,
                     RgbSamples{static_cast<const std::uint16_t*>(pixels), nullptr}, output.exr,
                     frame, primaries);
      }
      const std::string& outPath;
      const TOutputSettings& output;
      const TFrameInfo* frame;
      const ExrPrimaries& primaries;
    } sink{outPath, output, frame, primaries};
    DevelopRaw(rawPath, options, sink);
    return;
  }
  // The file is written while the picture develops, as its rows become final.
  struct DpxSink {
    std::function<void(std::uint64_t)> Begin(std::int32_t width, std::int32_t height, void* pixels,
                                             std::int64_t bytes) {
      writer.emplace(outPath, width, height, options, pixels, static_cast<std::int32_t>(bytes),
                     frame);
      return [this](std::uint64_t ready) { writer->PixelsReady(ready); };
    }
    void End(std::int32_t width, std::int32_t height, const void* pixels, std::int32_t byteCount) {
      if (!writer) {
        WriteDpxFile(outPath, width, height, options, pixels, byteCount, frame);
        return;
      }
      writer->Finish();
    }
    void Abandon() { writer.reset(); }
    const std::string& outPath;
    const TConvertOptions& options;
    const TFrameInfo* frame;
    std::optional<DpxFileWriter> writer;
  } sink{outPath, options, frame, std::nullopt};
  DevelopRaw(rawPath, options, sink);
}
