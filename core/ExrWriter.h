// OpenEXR output: scene-linear RGB for compositing, with the sequence's metadata.
#pragma once

#include <cstdint>
#include <string>

#include "FrameInfo.h"

enum class ExrCompression { Zip, Piz, None };

// Chromaticities of the primaries and white the samples refer to.
struct ExrPrimaries {
  float red[2], green[2], blue[2], white[2];
};
// Rec.709 with D65.
constexpr ExrPrimaries kExrRec709{
    {0.64f, 0.33f}, {0.30f, 0.60f}, {0.15f, 0.06f}, {0.3127f, 0.3290f}};

struct ExrSettings {
  bool floatSamples = false;  // 32-bit float samples instead of half floats
  ExrCompression compression = ExrCompression::Zip;
};

// Interleaved R,G,B samples, rows top to bottom: exactly one of the two pointers is set.
// 16-bit samples stand for 0..1 (65535 is 1.0); float samples are taken as they are, also
// above 1.0.
struct RgbSamples {
  const std::uint16_t* u16 = nullptr;
  const float* f32 = nullptr;
};

// Writes an RGB OpenEXR file of width x height pixels. Like the DPX writer the file appears at
// outPath only when complete and flushed, and an existing file is replaced atomically or left
// as it was. frame may be nullptr; otherwise its metadata goes into the header. Raises
// Exception naming the file and the reason.
void WriteExrFile(const std::string& outPath, std::int32_t width, std::int32_t height,
                  RgbSamples samples, const ExrSettings& settings, const TFrameInfo* frame,
                  const ExrPrimaries& primaries = kExrRec709);
