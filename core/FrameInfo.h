// What one output file of a sequence says about itself beyond its pixels: where it came from,
// where it stands in the sequence, and its time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "RawMetadata.h"

constexpr const char* kCreatorName = "Tarn RAW to DPX Converter 1.00";

struct FrameRate {
  std::int32_t numerator = 0;
  std::int32_t denominator = 1;
  double value() const { return static_cast<double>(numerator) / denominator; }
  // Frames a timecode second counts: 24 for 23.976, 30 for 29.97 (non-drop-frame counting).
  int timebase() const;
};

// "24", "25", "23.976", "29.97", "59.94" (the NTSC rates become N*1000/1001) or "N/D".
std::optional<FrameRate> ParseFrameRate(const std::string& text);

struct Timecode {
  int hours = 0, minutes = 0, seconds = 0, frames = 0;
  bool operator==(const Timecode&) const = default;
};

// "HH:MM:SS:FF"; nullopt unless every part is in range (frames below timebase).
std::optional<Timecode> ParseTimecode(const std::string& text, int timebase);
// start advanced by frames at timebase frames a second, round the 24-hour clock.
Timecode AddFrames(Timecode start, std::int64_t frames, int timebase);
// SMPTE 12M packing: two binary-coded decimal digits per byte, hours in the top byte.
std::uint32_t TimecodeBcd(const Timecode& timecode);
std::string ToString(const Timecode& timecode);

struct TFrameInfo {
  std::string sourceFile;  // the RAW file's path
  std::string outputName;  // the output file's name, without folder
  RawMetadata camera;
  std::int64_t frameNumber = 0;
  std::int64_t sequenceLength = 0;
  std::optional<FrameRate> frameRate;
  std::optional<Timecode> timecode;  // of this frame
};

// The local time now as "YYYY:MM:DD:hh:mm:ss" followed by the offset from UTC ("+0100").
std::string CurrentDateTimeText();
