#include "CommandLine.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>
#include <sstream>
#include <unordered_map>

#include "BatchRun.h"
#include "NamePattern.h"
#include "develop/ColourSpaces.h"

namespace {

bool ParseInt(const std::string& text, int& value) {
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end && !text.empty();
}

TConvertOptions ParseResize(const std::string& value, TConvertOptions convert) {
  const std::size_t x = value.find_first_of("xX");
  int width = 0;
  int height = 0;
  if (x == std::string::npos || !ParseInt(value.substr(0, x), width) ||
      !ParseInt(value.substr(x + 1), height) || width <= 0 || height <= 0 || width > 65535 ||
      height > 65535) {
    throw UsageError("--resize takes WIDTHxHEIGHT with sizes from 1 to 65535, not \"" + value +
                     "\"");
  }
  // A frame is one buffer of 6 bytes a pixel whose size must fit 31 bits: refused here, before
  // the output folder is made, rather than by every file of the run.
  constexpr std::int64_t kMaxFrameBytes = std::numeric_limits<std::int32_t>::max();
  const std::int64_t frameBytes = std::int64_t{width} * height * 6;
  if (frameBytes > kMaxFrameBytes) {
    throw UsageError("--resize " + value + ": a frame of " + std::to_string(width) + " x " +
                     std::to_string(height) + " pixels takes " + std::to_string(frameBytes) +
                     " bytes, more than the " + std::to_string(kMaxFrameBytes) +
                     " one frame can hold (at most " + std::to_string(kMaxFrameBytes / 6) +
                     " pixels)");
  }
  convert.Resize = true;
  convert.Width = width;
  convert.Height = height;
  return convert;
}

Shard ParseShard(const std::string& value) {
  const std::size_t slash = value.find('/');
  Shard shard;
  if (slash == std::string::npos || !ParseInt(value.substr(0, slash), shard.index) ||
      !ParseInt(value.substr(slash + 1), shard.count) || shard.count < 1 || shard.index < 0) {
    throw UsageError("--shard takes K/N with 0 <= K < N, not \"" + value + "\"");
  }
  if (shard.index >= shard.count) {
    throw UsageError("--shard " + value + ": shards count from 0, so K must be below N (0/" +
                     std::to_string(shard.count) + " to " + std::to_string(shard.count - 1) + "/" +
                     std::to_string(shard.count) + ")");
  }
  return shard;
}

std::int64_t ParseNumber(const std::string& option, const std::string& value, std::int64_t min) {
  std::int64_t number = 0;
  const char* end = value.data() + value.size();
  const auto [ptr, ec] = std::from_chars(value.data(), end, number);
  constexpr std::int64_t kMax = 999'999'999'999;
  if (value.empty() || ec != std::errc() || ptr != end || number < min || number > kMax) {
    throw UsageError(option + " takes a whole number from " + std::to_string(min) + " to " +
                     std::to_string(kMax) + ", not \"" + value + "\"");
  }
  return number;
}

bool ParseDouble(const std::string& text, double& value) {
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end && !text.empty() && std::isfinite(value);
}

std::vector<std::string> SplitCommas(const std::string& text) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    parts.push_back(text.substr(start, comma - start));
    if (comma == std::string::npos) return parts;
    start = comma + 1;
  }
}

std::string ColorSpaceList() {
  std::string list;
  for (std::uint8_t id = 0; id < kColorSpaceCount; ++id) {
    const TColorSpaceNames& names = ColorSpaceNames(id);
    list += std::string(id == 0 ? "" : ", ") + names.shortName + " (" + names.interop + ")";
  }
  return list;
}

}  // namespace

void ParseWhiteBalance(const std::string& value, TConvertOptions& convert) {
  std::string name = value;
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (name == "asshot" || name == "as-shot") {
    convert.WhiteBalance = kWhiteBalanceAsShot;
    return;
  }
  if (name == "daylight") {
    convert.WhiteBalance = kWhiteBalanceDaylight;
    return;
  }
  const std::vector<std::string> parts = SplitCommas(name);
  std::vector<double> numbers;
  for (std::string part : parts) {
    if (parts.size() <= 2 && numbers.empty() && !part.empty() && part.back() == 'k')
      part.pop_back();
    double v = 0;
    if (!ParseDouble(part, v)) {
      numbers.clear();
      break;
    }
    numbers.push_back(v);
  }
  if (numbers.size() == 3 && parts.size() == 3) {
    for (const double m : numbers) {
      if (!(m > 0 && m <= 1000)) {
        throw UsageError("--wb multipliers must be above 0 and at most 1000, not \"" + value +
                         "\"");
      }
    }
    convert.WhiteBalance = kWhiteBalanceMultipliers;
    convert.WhiteBalanceMultipliers = {numbers[0] / numbers[1], 1.0, numbers[2] / numbers[1]};
    return;
  }
  if ((numbers.size() == 1 || numbers.size() == 2) && numbers.size() == parts.size()) {
    const double kelvin = numbers[0];
    const double tint = numbers.size() == 2 ? numbers[1] : 0;
    if (kelvin < kMinKelvin || kelvin > kMaxKelvin || std::fabs(tint) > kMaxTint) {
      throw UsageError("--wb takes a colour temperature from " +
                       std::to_string(static_cast<int>(kMinKelvin)) + " to " +
                       std::to_string(static_cast<int>(kMaxKelvin)) + " K and a tint from -" +
                       std::to_string(static_cast<int>(kMaxTint)) + " to " +
                       std::to_string(static_cast<int>(kMaxTint)) + ", not \"" + value + "\"");
    }
    convert.WhiteBalance = kWhiteBalanceTemperature;
    convert.WhiteBalanceKelvin = kelvin;
    convert.WhiteBalanceTint = tint;
    return;
  }
  throw UsageError(
      "--wb takes asshot, daylight, multipliers R,G,B or a colour temperature KELVIN[,TINT], "
      "not \"" +
      value + "\"");
}

CliOptions ParseCommandLine(const std::vector<std::string>& args) {
  CliOptions options;
  bool optionsEnded = false;
  std::optional<std::string> timecodeText;
  bool exrOptionGiven = false;
  bool whiteBalanceGiven = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
      options.inputs.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    // --name=value is the same as --name value, and so is -xVALUE for a short option taking
    // a value (-j4, -oDIR).
    std::optional<std::string> inlineValue;
    if (const std::size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      inlineValue = arg.substr(eq + 1);
      arg.erase(eq);
    } else if (arg.size() > 2 && arg[1] != '-' && (arg[1] == 'o' || arg[1] == 'j')) {
      inlineValue = arg.substr(2);
      arg.erase(2);
    }
    auto value = [&]() -> std::string {
      if (inlineValue) return *inlineValue;
      if (i + 1 >= args.size()) throw UsageError(arg + " needs a value");
      return args[++i];
    };
    auto noValue = [&] {
      if (inlineValue) throw UsageError(arg + " takes no value");
    };

    if (arg == "-o" || arg == "--output") {
      options.outputFolder = value();
      if (options.outputFolder.empty()) throw UsageError(arg + " needs a folder");
    } else if (arg == "--resize") {
      options.convert = ParseResize(value(), options.convert);
    } else if (arg == "--color-space") {
      const std::string v = value();
      const std::optional<std::uint8_t> space = ColorSpaceFromName(v);
      if (!space) {
        throw UsageError("--color-space takes srgb, " + ColorSpaceList() + ", not \"" + v + "\"");
      }
      options.convert.ColorSpace = *space;
      options.colorSpaceGiven = true;
    } else if (arg == "--wb") {
      ParseWhiteBalance(value(), options.convert);
      whiteBalanceGiven = true;
    } else if (arg == "--wb-from") {
      options.whiteBalanceFrom = value();
      if (options.whiteBalanceFrom.empty()) throw UsageError("--wb-from needs a RAW file");
    } else if (arg == "--exposure") {
      const std::string v = value();
      double stops = 0;
      if (!ParseDouble(v, stops) || std::fabs(stops) > kMaxExposureStops) {
        throw UsageError(
            "--exposure takes stops from -" + std::to_string(static_cast<int>(kMaxExposureStops)) +
            " to " + std::to_string(static_cast<int>(kMaxExposureStops)) + ", not \"" + v + "\"");
      }
      options.convert.ExposureStops = stops;
    } else if (arg == "--highlights") {
      const std::string v = value();
      if (v == "clip") {
        options.convert.Highlights = kHighlightsClip;
      } else if (v == "reconstruct") {
        options.convert.Highlights = kHighlightsReconstruct;
      } else {
        throw UsageError("--highlights takes clip or reconstruct, not \"" + v + "\"");
      }
    } else if (arg == "--name") {
      options.sequence.pattern = value();
      try {
        NamePattern check(options.sequence.pattern);
      } catch (const Exception& e) {
        throw UsageError(e.what());
      }
    } else if (arg == "--start") {
      options.sequence.start = ParseNumber(arg, value(), 0);
    } else if (arg == "--step") {
      options.sequence.step = ParseNumber(arg, value(), 1);
    } else if (arg == "--order") {
      const std::string v = value();
      if (v == "name") {
        options.sequence.order = FileOrder::Name;
      } else if (v == "capture-time") {
        options.sequence.order = FileOrder::CaptureTime;
      } else {
        throw UsageError("--order takes name or capture-time, not \"" + v + "\"");
      }
      options.orderGiven = true;
    } else if (arg == "-r" || arg == "--recursive") {
      noValue();
      options.recursive = true;
    } else if (arg == "--dpx-metadata") {
      noValue();
      options.sequence.dpxMetadata = true;
    } else if (arg == "--frame-rate") {
      const std::string v = value();
      options.sequence.frameRate = ParseFrameRate(v);
      if (!options.sequence.frameRate) {
        throw UsageError(
            "--frame-rate takes frames a second such as 24, 25, 23.976 or 30000/1001 "
            "(up to 1000), not \"" +
            v + "\"");
      }
    } else if (arg == "--timecode") {
      timecodeText = value();
    } else if (arg == "--format") {
      const std::string v = value();
      if (v == "dpx") {
        options.sequence.output.format = OutputFormat::Dpx;
      } else if (v == "exr") {
        options.sequence.output.format = OutputFormat::Exr;
      } else {
        throw UsageError("--format takes dpx or exr, not \"" + v + "\"");
      }
    } else if (arg == "--exr-compression") {
      exrOptionGiven = true;
      const std::string v = value();
      if (v == "zip") {
        options.sequence.output.exr.compression = ExrCompression::Zip;
      } else if (v == "piz") {
        options.sequence.output.exr.compression = ExrCompression::Piz;
      } else if (v == "none") {
        options.sequence.output.exr.compression = ExrCompression::None;
      } else {
        throw UsageError("--exr-compression takes zip, piz or none, not \"" + v + "\"");
      }
    } else if (arg == "--exr-float") {
      noValue();
      exrOptionGiven = true;
      options.sequence.output.exr.floatSamples = true;
    } else if (arg == "--demosaic") {
      const std::string v = value();
      if (v == "rcd") {
        options.convert.Demosaic = kDemosaicRcd;
      } else if (v == "ahd") {
        options.convert.Demosaic = kDemosaicAhd;
      } else {
        throw UsageError("--demosaic takes rcd or ahd, not \"" + v + "\"");
      }
    } else if (arg == "-j" || arg == "--jobs") {
      const std::string v = value();
      if (!ParseInt(v, options.jobs) || options.jobs < 1 || options.jobs > 256) {
        throw UsageError("--jobs takes a number from 1 to 256, not \"" + v + "\"");
      }
    } else if (arg == "--overwrite") {
      const std::string v = value();
      if (v == "ask") {
        options.overwrite = OverwriteMode::Ask;
      } else if (v == "always") {
        options.overwrite = OverwriteMode::Always;
      } else if (v == "never") {
        options.overwrite = OverwriteMode::Never;
      } else {
        throw UsageError("--overwrite takes ask, always or never, not \"" + v + "\"");
      }
    } else if (arg == "--keep-going") {
      noValue();
      options.keepGoing = true;
    } else if (arg == "--info") {
      noValue();
      options.info = true;
    } else if (arg == "--dry-run") {
      noValue();
      options.dryRun = true;
    } else if (arg == "--list") {
      options.listFile = value();
    } else if (arg == "--shard") {
      options.shard = ParseShard(value());
    } else if (arg == "-v" || arg == "--verbose") {
      noValue();
      options.verbose = true;
    } else if (arg == "-h" || arg == "--help") {
      noValue();
      options.help = true;
    } else if (arg == "--version") {
      noValue();
      options.version = true;
    } else {
      throw UsageError("unknown option " + arg);
    }
  }
  if (options.help || options.version) return options;
  if (timecodeText) {
    if (!options.sequence.frameRate) {
      throw UsageError("--timecode needs --frame-rate: a timecode counts frames of a rate");
    }
    const int timebase = options.sequence.frameRate->timebase();
    options.sequence.startTimecode = ParseTimecode(*timecodeText, timebase);
    if (!options.sequence.startTimecode) {
      throw UsageError("--timecode takes HH:MM:SS:FF with frames below " +
                       std::to_string(timebase) + ", not \"" + *timecodeText + "\"");
    }
  }
  const bool exr = options.sequence.output.format == OutputFormat::Exr;
  if (exr && options.colorSpaceGiven && !IsLinearColorSpace(options.convert.ColorSpace)) {
    throw UsageError(std::string("--format exr holds linear light; --color-space ") +
                     ColorSpaceNames(options.convert.ColorSpace).shortName +
                     " applies to DPX only (linear, acescg, aces and rec2020 go to OpenEXR)");
  }
  if (whiteBalanceGiven && !options.whiteBalanceFrom.empty()) {
    throw UsageError("--wb and --wb-from both choose the white balance: give one");
  }
  if (!exr && exrOptionGiven) {
    throw UsageError("--exr-float and --exr-compression need --format exr");
  }
  if (options.inputs.empty() && options.listFile.empty()) {
    throw UsageError("no RAW files or folders given");
  }
  if (!options.info && options.outputFolder.empty()) {
    throw UsageError("no output folder given (-o DIR)");
  }
  return options;
}

std::vector<std::string> ParsePathList(const std::string& text) {
  std::vector<std::string> paths;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const std::size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos || line[first] == '#') continue;
    const std::size_t last = line.find_last_not_of(" \t\r");
    paths.push_back(line.substr(first, last - first + 1));
  }
  return paths;
}

std::vector<OutputClash> OutputClashes(const std::vector<std::string>& paths,
                                       const std::string& outputFolder) {
  std::vector<OutputClash> clashes;
  std::unordered_map<std::string, const std::string*> firstInputOf;
  for (const std::string& path : paths) {
    std::string output = OutputPathFor(outputFolder, path);
    const auto [it, isNew] = firstInputOf.try_emplace(output, &path);
    if (!isNew) clashes.push_back({*it->second, path, std::move(output)});
  }
  return clashes;
}

std::vector<std::string> ShardSlice(std::vector<std::string> paths, Shard shard) {
  std::sort(paths.begin(), paths.end());
  const std::size_t n = paths.size();
  const auto count = static_cast<std::size_t>(shard.count);
  const auto index = static_cast<std::size_t>(shard.index);
  const std::size_t begin = n * index / count;
  const std::size_t end = n * (index + 1) / count;
  return {paths.begin() + static_cast<std::ptrdiff_t>(begin),
          paths.begin() + static_cast<std::ptrdiff_t>(end)};
}

std::string VersionText() {
  return std::string("raw2dpx ") + RAW2DPX_VERSION + "\n";
}

const char* UsageText() {
  return R"(Usage: raw2dpx [options] FILE|FOLDER... -o DIR
  or:  raw2dpx --info FILE|FOLDER...

Converts camera RAW files into 16-bit RGB DPX files, one DPX file per RAW file, named after
the RAW file with the extension .dpx, in the output folder. A folder stands for the RAW files
directly inside it, sorted by name.

Options:
  -o, --output DIR         the output folder (made when missing)
      --resize WxH         scale every picture to exactly W x H pixels (stretched, not
                           cropped; W x H at most 357913941); without it every picture
                           keeps its full size
      --color-space NAME   the output colour space; any case, short names or those of
                           OpenColorIO configs:
                           srgb, rec709 or camera_rec709 (the default): Rec.709 primaries
                             with the BT.709 camera curve (DPX transfer code 6)
                           linear or lin_rec709_scene: linear Rec.709 (transfer code 2)
                           acescg or lin_ap1_scene: ACEScg, linear AP1 primaries
                           aces or lin_ap0_scene: ACES2065-1, linear AP0 primaries
                           rec2020 or lin_rec2020_scene: linear Rec.2020
                           acescct or acescct_ap1: ACEScct, the logarithmic encoding on AP1
                           The ACES spaces have the ACES white (Bradford adaptation from
                           D65). Linear values run 0..65535 for 0..1 (1 is the sensor's
                           white at exposure 0); above 1 they clip. New spaces carry their
                           name in the DPX element description; their colorimetric code is
                           0 (user-defined), ACEScct's transfer code too.
      --wb asshot|daylight|R,G,B|KELVIN[,TINT]
                           white balance: asshot, as the camera recorded it (the default);
                           daylight, the camera's daylight setting; R,G,B multipliers
                           (e.g. 2.05,1,1.42; scaled so that green is 1); KELVIN a colour
                           temperature from 2000 to 15000 with an optional TINT from -150
                           to 150 (positive greener, negative more magenta), e.g. 5600,-5
      --wb-from FILE       every frame gets the as-shot white balance of FILE (a reference
                           frame): the cure for white-balance flicker when the camera was
                           left on auto; not together with --wb
      --exposure STOPS     exposure offset in stops, -8 to 8, applied to linear light before
                           the highlight clip (default 0)
      --highlights clip|reconstruct
                           clip: all channels clip at the sensor's white, so clipped areas
                           stay neutral (the default); reconstruct: clipped areas keep the
                           detail of the channels that did not clip, rebuilt neutral (no
                           magenta); shows below the clip with a negative --exposure
      --demosaic rcd|ahd   rcd: our tiled develop path with the RCD demosaic for Bayer
                           sensors, LibRaw's AHD develop for every other sensor (the
                           default); ahd: LibRaw's AHD develop for every file, the output
                           of earlier versions
  -j, --jobs N             conversions at once (default: one per CPU this process may use,
                           after its affinity mask and control group, fewer when memory is
                           short)
      --overwrite ask|always|never
                           what to do with an output file that exists already. ask: a
                           question for each, answered yes, no, cancel or yes to all (the
                           default on a terminal; without one the answers are read from
                           standard input, one a line); always: replace; never: keep it and
                           report the skip (the default without a terminal, so a rerun of
                           an interrupted batch converts only what is missing)
      --keep-going         go on after a file fails (default: stop at the first failure;
                           conversions already running finish)
      --info               print each file with its picture size as WxH, convert
                           nothing; with -v also the develop path it takes (rcd or ahd,
                           after --demosaic) and, on indented lines below, the as-shot
                           white balance with its estimated colour temperature and tint,
                           and the camera matrix (white-balanced camera RGB to linear
                           Rec.709)
      --list FILE          also read input paths from FILE, one a line ("-": standard
                           input); blank lines and lines starting with # are ignored
      --shard K/N          convert only slice K of N of the sorted inputs; K counts from 0
                           (0/N to N-1/N), so "--shard $SLURM_ARRAY_TASK_ID/N" fits a job
                           array submitted with --array=0-(N-1)
      --dry-run            print what would be converted, and where, and convert nothing;
                           inputs that cannot be opened and an unusable output folder are
                           reported as the run would report them
  -v, --verbose            also print the CPUs and memory found usable and the number of
                           conversions at once
  -r, --recursive          a folder stands for the RAW files in it and in all its
                           sub-folders, sorted by path (100CANON before 101CANON)
  -h, --help               this text
      --version            the version

Sequences:
      --name PATTERN       name the output files after PATTERN instead of the RAW file;
                           fields: {stem} the RAW file's name without extension,
                           {frame} the frame number, {frame:N} padded to N digits,
                           {camera} the camera model, {date} the capture date (YYYYMMDD),
                           {date:FORMAT} with %Y %m %d %H %M %S; {{ and }} are braces.
                           The extension (.dpx, .exr) is added unless PATTERN ends with
                           it. Example: --name shot_{frame:07} gives shot_0000001.dpx, ...
      --start N            the first frame number (default 1)
      --step N             frame numbers go up by N (default 1)
      --order name|capture-time
                           the sequence order, which frame numbers follow. name: sorted
                           by path (the default with --name or --shard; otherwise the
                           inputs keep the order given); capture-time: by the moment of
                           capture in the files' Exif data, to the sub-second, ties by
                           path, so counters that rolled over stay in order
                           Frame numbers count over the whole list before --shard slices
                           it: every shard writes the names a single run would.
      --format dpx|exr     dpx: 16-bit DPX (the default); exr: OpenEXR with linear light
                           (half floats; linear Rec.709 unless --color-space names another
                           linear space), its primaries and white as chromaticities,
                           capture date, ISO, exposure, frame rate and timecode
      --exr-compression zip|piz|none
                           OpenEXR compression (default zip)
      --exr-float          OpenEXR with 32-bit float samples instead of half floats
      --dpx-metadata       the DPX header names the source file, creation time, creator,
                           camera and serial number, frame position and sequence length;
                           unknown fields are marked undefined. Without it (and without
                           --frame-rate and --timecode) the header is the plain one.
      --frame-rate RATE    frames a second for the headers: 24, 25, 23.976, 29.97,
                           30000/1001, ...; implies --dpx-metadata for DPX files
      --timecode HH:MM:SS:FF
                           the first frame's timecode (default 00:00:00:00 with
                           --frame-rate); each frame counts on by one; needs --frame-rate

Two inputs that would give the same output file name (IMG_1.CR2 from two folders, or one file
listed twice) are refused before anything is converted: the second would replace or lose the
first one's frame. A folder without RAW files, or a list without paths, is an error.

Output files appear only when complete: a failed or interrupted conversion leaves no partial
file and leaves an existing file as it was. Ctrl-C (or SIGTERM) lets running conversions
finish and starts no new one, also while the overwrite question waits for its answer; a
second Ctrl-C stops at once.

Every error names the file and gives the SDK code, e.g.
  raw2dpx: /raw/IMG_0042.CR2: EOS Error: 0000002D (file data corrupt or truncated)

Exit status: 0 when nothing failed, 1 when a file failed, nothing was found to convert or the
run was cancelled, 2 on bad usage, 130 when interrupted.
)";
}
