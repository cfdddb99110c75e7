#include "SequencePlan.h"

#include <algorithm>
#include <filesystem>
#include <unordered_map>

#include "BatchRun.h"
#include "NamePattern.h"

namespace fs = std::filesystem;

namespace {

std::string Stem(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::size_t dot = name.find_last_of('.');
  if (dot != std::string::npos) name.erase(dot);
  return name;
}

std::string Joined(const std::string& folder, const std::string& name) {
  return folder + static_cast<char>(fs::path::preferred_separator) + name;
}

}  // namespace

SequencePlan PlanSequence(const std::vector<std::string>& inputs, const std::string& outputFolder,
                          const SequenceSettings& settings, const MetadataReader& readMetadata) {
  SequencePlan plan;
  std::optional<NamePattern> pattern;
  if (!settings.pattern.empty()) pattern.emplace(settings.pattern);
  const bool exr = settings.output.format == OutputFormat::Exr;
  const bool describe = exr || settings.dpxMetadata || settings.frameRate || settings.startTimecode;
  const bool needMetadata = describe || settings.order == FileOrder::CaptureTime ||
                            (pattern && (pattern->UsesCamera() || pattern->UsesDate()));

  std::vector<RawMetadata> metadata(inputs.size());
  std::vector<bool> metadataRead(inputs.size(), false);
  if (needMetadata) {
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      try {
        metadata[i] = readMetadata(inputs[i]);
        metadataRead[i] = true;
      } catch (const std::exception& e) {
        // The conversion reports a file that cannot be read at all; here only its place and
        // its name are at stake.
        if (settings.order == FileOrder::CaptureTime) {
          plan.warnings.push_back(std::string(e.what()) +
                                  " It goes after the files whose "
                                  "capture time is known.");
        }
      }
    }
  }

  std::vector<std::size_t> order(inputs.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  if (settings.order == FileOrder::Name) {
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return inputs[a] < inputs[b]; });
  } else if (settings.order == FileOrder::CaptureTime) {
    std::vector<std::optional<CaptureTime>> times(inputs.size());
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      times[i] = metadata[i].captureTime;
      if (metadataRead[i] && !times[i]) {
        plan.warnings.push_back(inputs[i] +
                                ": no capture time recorded; it goes after the "
                                "files whose capture time is known.");
      }
    }
    order = CaptureTimeOrder(inputs, times);
  }

  const char* extension = OutputExtension(settings.output.format);
  std::optional<Timecode> startTimecode = settings.startTimecode;
  if (settings.frameRate && !startTimecode) startTimecode = Timecode{};
  plan.frames.reserve(inputs.size());
  for (std::size_t position = 0; position < order.size(); ++position) {
    const std::size_t i = order[position];
    PlannedFrame frame;
    frame.input = inputs[i];
    const std::int64_t number = FrameNumber(settings.start, settings.step, position);
    std::string name;
    if (pattern) {
      try {
        name = pattern->Expand(
            {Stem(inputs[i]), number, metadata[i].model, metadata[i].captureTime}, extension);
      } catch (const std::exception& e) {
        throw Exception(inputs[i] + ": " + e.what());
      }
      frame.output = Joined(outputFolder, name);
    } else if (exr) {
      name = Stem(inputs[i]) + extension;
      frame.output = Joined(outputFolder, name);
    } else {
      // Exactly the name every DPX file has always had.
      frame.output = OutputPathFor(outputFolder, inputs[i]);
      name = fs::path(frame.output).filename().string();
    }
    if (describe) {
      TFrameInfo info;
      info.sourceFile = inputs[i];
      info.outputName = name;
      info.camera = metadata[i];
      info.frameNumber = number;
      info.sequenceLength = static_cast<std::int64_t>(inputs.size());
      info.frameRate = settings.frameRate;
      if (settings.frameRate) {
        info.timecode = AddFrames(*startTimecode, static_cast<std::int64_t>(position),
                                  settings.frameRate->timebase());
      }
      frame.info = std::move(info);
    }
    plan.frames.push_back(std::move(frame));
  }
  return plan;
}

std::vector<NameClash> FindNameClashes(const std::vector<PlannedFrame>& frames) {
  std::vector<NameClash> clashes;
  std::unordered_map<std::string, const std::string*> firstInputOf;
  for (const PlannedFrame& frame : frames) {
    const auto [it, isNew] = firstInputOf.try_emplace(frame.output, &frame.input);
    if (!isNew) clashes.push_back({*it->second, frame.input, frame.output});
  }
  return clashes;
}

std::vector<PlannedFrame> PlanSlice(const std::vector<PlannedFrame>& frames, int index, int count) {
  const std::size_t n = frames.size();
  const auto k = static_cast<std::size_t>(index);
  const auto c = static_cast<std::size_t>(count);
  const std::size_t begin = n * k / c;
  const std::size_t end = n * (k + 1) / c;
  return {frames.begin() + static_cast<std::ptrdiff_t>(begin),
          frames.begin() + static_cast<std::ptrdiff_t>(end)};
}
