#include "ExrWriter.h"

#include <Iex.h>
#include <ImfChannelList.h>
#include <ImfChromaticities.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfIO.h>
#include <ImfOutputFile.h>
#include <ImfStandardAttributes.h>
#include <ImfStringAttribute.h>
#include <ImfTimeCode.h>
#include <half.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "Exception.h"
#include "PendingFile.h"

namespace {

// OpenEXR's output stream over our pending file: it seeks back to fill in the line offsets,
// so every write goes to an explicit position.
class PendingFileStream : public Imf::OStream {
 public:
  explicit PendingFileStream(PendingFile& file)
      : Imf::OStream(file.target().c_str()), file_(file) {}
  void write(const char c[], int n) override {
    try {
      file_.WriteAt(position_, c, static_cast<std::size_t>(n));
    } catch (const Exception& e) {
      if (failure_.empty()) failure_ = e.what();
      throw;
    }
    position_ += static_cast<std::uint64_t>(n);
  }
  // OpenEXR writes the line offsets when the file object goes away and swallows errors there;
  // the first failed write is kept so the file is not published anyway.
  const std::string& failure() const { return failure_; }
  std::uint64_t tellp() override { return position_; }
  void seekp(std::uint64_t position) override { position_ = position; }

 private:
  PendingFile& file_;
  std::uint64_t position_ = 0;
  std::string failure_;
};

Imf::Compression ToImf(ExrCompression compression) {
  switch (compression) {
    case ExrCompression::Piz:
      return Imf::PIZ_COMPRESSION;
    case ExrCompression::None:
      return Imf::NO_COMPRESSION;
    case ExrCompression::Zip:
      break;
  }
  return Imf::ZIP_COMPRESSION;
}

std::string FileName(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

void AddFrameAttributes(Imf::Header& header, const TFrameInfo& frame) {
  const RawMetadata& camera = frame.camera;
  if (frame.frameRate) {
    Imf::addFramesPerSecond(header,
                            Imf::Rational(frame.frameRate->numerator,
                                          static_cast<unsigned>(frame.frameRate->denominator)));
  }
  if (frame.timecode) {
    Imf::addTimeCode(header, Imf::TimeCode(frame.timecode->hours, frame.timecode->minutes,
                                           frame.timecode->seconds, frame.timecode->frames));
  }
  if (camera.captureTime) {
    const CaptureTime& t = *camera.captureTime;
    char text[32];
    std::snprintf(text, sizeof text, "%04d:%02d:%02d %02d:%02d:%02d", t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
    Imf::addCapDate(header, text);
  }
  if (!camera.owner.empty()) Imf::addOwner(header, camera.owner);
  if (camera.isoSpeed) Imf::addIsoSpeed(header, *camera.isoSpeed);
  if (camera.exposureSeconds) Imf::addExpTime(header, *camera.exposureSeconds);
  // Named as the attributes later OpenEXR versions define.
  if (!camera.make.empty()) header.insert("cameraMake", Imf::StringAttribute(camera.make));
  if (!camera.model.empty()) header.insert("cameraModel", Imf::StringAttribute(camera.model));
  if (!camera.serial.empty()) {
    header.insert("cameraSerialNumber", Imf::StringAttribute(camera.serial));
  }
  const std::string source = FileName(frame.sourceFile);
  if (!source.empty()) {
    header.insert("sourceFile", Imf::StringAttribute(source));
    Imf::addComments(header, "Developed from " + source + " by " + kCreatorName);
  }
}

float SampleValue(std::uint16_t value) {
  return value * (1.0f / 65535.0f);
}
float SampleValue(float value) {
  return value;
}

// Converts and writes the picture a strip of rows at a time, so that the converted copy stays
// small whatever the picture's size.
template <typename Sample>
void WriteStrips(Imf::OutputFile& output, std::int32_t width, std::int32_t height,
                 RgbSamples samples, Imf::PixelType type) {
  const std::size_t rowSamples = static_cast<std::size_t>(width) * 3;
  constexpr std::int32_t kStripRows = 64;
  std::vector<Sample> strip;
  for (std::int32_t y = 0; y < height; y += kStripRows) {
    const std::int32_t rows = std::min(kStripRows, height - y);
    const std::size_t first = static_cast<std::size_t>(y) * rowSamples;
    strip.resize(rowSamples * static_cast<std::size_t>(rows));
    for (std::size_t i = 0; i < strip.size(); ++i) {
      strip[i] = static_cast<Sample>(samples.u16 != nullptr ? SampleValue(samples.u16[first + i])
                                                            : SampleValue(samples.f32[first + i]));
    }
    // The frame buffer is addressed by absolute row: its origin lies y rows before the strip.
    char* origin =
        reinterpret_cast<char*>(strip.data()) - static_cast<std::ptrdiff_t>(first * sizeof(Sample));
    Imf::FrameBuffer buffer;
    const char* channels[] = {"R", "G", "B"};
    for (int c = 0; c < 3; ++c) {
      buffer.insert(channels[c], Imf::Slice(type, origin + c * sizeof(Sample), 3 * sizeof(Sample),
                                            rowSamples * sizeof(Sample)));
    }
    output.setFrameBuffer(buffer);
    output.writePixels(rows);
  }
}

}  // namespace

void WriteExrFile(const std::string& outPath, std::int32_t width, std::int32_t height,
                  RgbSamples samples, const ExrSettings& settings, const TFrameInfo* frame,
                  const ExrPrimaries& primaries) {
  if (width <= 0 || height <= 0 || (samples.u16 == nullptr) == (samples.f32 == nullptr)) {
    ThrowFileError("Cannot write file", outPath, EINVAL);
  }
  PendingFile file(outPath);
  PendingFileStream stream(file);
  try {
    Imf::Header header(width, height);
    header.compression() = ToImf(settings.compression);
    const Imf::PixelType type = settings.floatSamples ? Imf::FLOAT : Imf::HALF;
    for (const char* channel : {"R", "G", "B"})
      header.channels().insert(channel, Imf::Channel(type));
    const auto xy = [](const float(&c)[2]) { return Imath::V2f(c[0], c[1]); };
    Imf::addChromaticities(header, Imf::Chromaticities(xy(primaries.red), xy(primaries.green),
                                                       xy(primaries.blue), xy(primaries.white)));
    header.insert("software", Imf::StringAttribute(kCreatorName));
    if (frame != nullptr) AddFrameAttributes(header, *frame);

    Imf::OutputFile output(stream, header, 1);
    if (settings.floatSamples) {
      WriteStrips<float>(output, width, height, samples, Imf::FLOAT);
    } else {
      WriteStrips<half>(output, width, height, samples, Imf::HALF);
    }
  } catch (const Exception&) {
    throw;
  } catch (const std::exception& e) {
    // OpenEXR wraps our own write errors in its words; ours name the file and the reason.
    if (!stream.failure().empty()) throw Exception(stream.failure());
    throw Exception("Cannot write file \"" + outPath + "\". " + e.what());
  }
  if (!stream.failure().empty()) throw Exception(stream.failure());
  file.Commit();
}
