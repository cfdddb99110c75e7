// Turns a list of RAW files into a sequence: its order, each output file's name and frame
// number, and what each file's header says. Numbers are given over the whole list, so a slice
// of the plan (a farm shard) names its files exactly as the whole run would.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "FrameInfo.h"
#include "RawToDpx.h"

enum class FileOrder {
  AsGiven,      // the list as it stands
  Name,         // sorted by path name
  CaptureTime,  // by the moment of capture, ties by path name
};

struct SequenceSettings {
  std::string pattern;  // empty: each file is named after its RAW file, as always
  std::int64_t start = 1;
  std::int64_t step = 1;
  FileOrder order = FileOrder::AsGiven;
  TOutputSettings output;
  bool dpxMetadata = false;  // DPX headers describe the frame (implied by a rate or timecode)
  std::optional<FrameRate> frameRate;
  std::optional<Timecode> startTimecode;  // needs frameRate; 00:00:00:00 when only a rate is set
};

struct PlannedFrame {
  std::string input;
  std::string output;  // full path
  // What the header carries; nullopt for a plain DPX file.
  std::optional<TFrameInfo> info;
};

struct SequencePlan {
  std::vector<PlannedFrame> frames;
  std::vector<std::string> warnings;  // e.g. a file whose capture time is unknown
};

using MetadataReader = std::function<RawMetadata(const std::string& path)>;

// Orders and names inputs for outputFolder. Raises Exception, naming the file, when a name
// cannot be made (the pattern uses a field the file does not record), or for a bad pattern.
SequencePlan PlanSequence(const std::vector<std::string>& inputs, const std::string& outputFolder,
                          const SequenceSettings& settings,
                          const MetadataReader& readMetadata = ReadRawMetadata);

// Two inputs of a plan that would write one output file.
struct NameClash {
  std::string first;  // the earlier of the two in the plan
  std::string second;
  std::string output;
};
std::vector<NameClash> FindNameClashes(const std::vector<PlannedFrame>& frames);

// Slice index of count (index from 0) of frames: contiguous, disjoint, together the whole list,
// sizes differing by at most one.
std::vector<PlannedFrame> PlanSlice(const std::vector<PlannedFrame>& frames, int index, int count);
