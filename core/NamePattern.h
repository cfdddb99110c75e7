// Output file names of a sequence, from a pattern such as "shot_{frame:07}".
//
// Fields, each in braces:
//   {stem}          the RAW file's name without its extension
//   {frame}         the frame number, start + step x position in the whole ordered list
//   {frame:N}       the same, zero-padded to at least N digits ({frame:7} = {frame:07})
//   {camera}        the camera model as the file records it
//   {date}          the capture date as YYYYMMDD
//   {date:FORMAT}   the capture date and time with %Y %m %d %H %M %S (%% for %)
// "{{" and "}}" stand for literal braces. The output format's extension (".dpx", ".exr") is
// appended unless the pattern already ends with it. A pattern names files inside the output
// folder, so it holds no "/"; a "/" in a field's value becomes "_".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "RawMetadata.h"

// What the fields of one output name are made from.
struct NameFields {
  std::string stem;
  std::int64_t frame = 0;
  std::string camera;                      // empty: the file records none
  std::optional<CaptureTime> captureTime;  // absent: the file records none
};

class NamePattern {
 public:
  // Raises Exception naming the fault for a pattern that cannot be expanded.
  explicit NamePattern(const std::string& pattern);

  // The file name for one frame, with extension (e.g. ".dpx") appended unless present. Raises
  // Exception when a field the pattern uses has no value for this file.
  std::string Expand(const NameFields& fields, const std::string& extension) const;

  bool UsesCamera() const { return usesCamera_; }
  bool UsesDate() const { return usesDate_; }
  const std::string& text() const { return text_; }

 private:
  enum class Kind { Literal, Stem, Frame, Camera, Date };
  struct Piece {
    Kind kind;
    std::string text;  // Literal: the text; Date: the format
    int width = 0;     // Frame: zero-padding
  };
  std::string text_;
  std::vector<Piece> pieces_;
  bool usesCamera_ = false;
  bool usesDate_ = false;
};

// The frame number of position index (from 0) in a list numbered from start in steps of step.
std::int64_t FrameNumber(std::int64_t start, std::int64_t step, std::size_t index);
