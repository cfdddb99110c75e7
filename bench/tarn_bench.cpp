// Times the conversion core on real files: one conversion, the stages of one conversion, the
// size probe, and several conversions on parallel workers.
//
//   tarn_bench convert IN OUT.dpx [--resize WxH] [--linear] [--demosaic rcd|ahd]
//   tarn_bench stages  IN OUT.dpx [--resize WxH] [--linear] [--demosaic rcd|ahd]   (set TARN_PROFILE=1 for LibRaw's)
//   tarn_bench probe   FILE... [--repeat N]
//   tarn_bench parallel --jobs N OUTDIR FILE... [--resize WxH] [--linear]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "RawToDpx.h"
#include "edsdk/EDSDKApi.h"

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Args {
  std::string mode;
  std::vector<std::string> positional;
  TConvertOptions options;
  int jobs = 1;
  int repeat = 1;
};

Args Parse(int argc, char** argv) {
  Args args;
  args.mode = argc > 1 ? argv[1] : "";
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--resize" && i + 1 < argc) {
      args.options.Resize = true;
      std::sscanf(argv[++i], "%dx%d", &args.options.Width, &args.options.Height);
    } else if (arg == "--linear") {
      args.options.ColorSpace = kColorSpaceLinear;
    } else if (arg == "--demosaic" && i + 1 < argc) {
      args.options.Demosaic = std::string(argv[++i]) == "ahd" ? kDemosaicAhd : kDemosaicRcd;
    } else if (arg == "--jobs" && i + 1 < argc) {
      args.jobs = std::atoi(argv[++i]);
    } else if (arg == "--repeat" && i + 1 < argc) {
      args.repeat = std::atoi(argv[++i]);
    } else {
      args.positional.push_back(arg);
    }
  }
  return args;
}

// The steps of ConvertRawToDpx, each timed.
void Stages(const std::string& in, const std::string& out, TConvertOptions options) {
  auto start = Clock::now();
  EdsStreamRef file = nullptr;
  EdsImageRef image = nullptr;
  EdsStreamRef memory = nullptr;
  CheckEdsError(EdsCreateFileStream(in.c_str(), kEdsFileCreateDisposition_OpenExisting,
                                    kEdsAccess_Read, &file));
  CheckEdsError(EdsCreateImageRef(file, &image));
  if (options.ColorSpace == kColorSpaceLinear) {
    const EdsUInt32 on = 1;
    CheckEdsError(EdsSetPropertyData(image, kEdsPropID_LinearRendering, 0, 4, &on));
  }
  if (options.Demosaic == kDemosaicAhd) {
    const EdsUInt32 libRaw = kEdsDevelopPath_LibRaw;
    CheckEdsError(EdsSetPropertyData(image, kEdsPropID_DevelopPath, 0, 4, &libRaw));
  }
  EdsImageInfo info{};
  CheckEdsError(EdsGetImageInfo(image, kEdsImageSrc_FullView, &info));
  const double openMs = MsSince(start);
  const int w = options.Resize ? options.Width : static_cast<int>(info.width);
  const int h = options.Resize ? options.Height : static_cast<int>(info.height);
  start = Clock::now();
  CheckEdsError(EdsCreateMemoryStream(static_cast<EdsUInt64>(w) * h * 6, &memory));
  CheckEdsError(
      EdsGetImage(image, kEdsImageSrc_RAWFullView, kEdsTargetImageType_RGB16,
                  {0, 0, static_cast<EdsInt32>(info.width), static_cast<EdsInt32>(info.height)},
                  {w, h}, memory));
  const double developMs = MsSince(start);
  void* pixels = nullptr;
  EdsUInt64 length = 0;
  EdsGetPointer(memory, &pixels);
  EdsGetLength(memory, &length);
  start = Clock::now();
  WriteDpxFile(out, w, h, options, pixels, static_cast<std::int32_t>(length));
  const double writeMs = MsSince(start);
  EdsRelease(file);
  EdsRelease(image);
  EdsRelease(memory);
  std::printf("%s %dx%d: open+probe %.1f ms, develop %.1f ms, write %.1f ms\n", in.c_str(), w, h,
              openMs, developMs, writeMs);
}

int Parallel(const Args& args) {
  const std::filesystem::path outDir = args.positional.at(0);
  const std::vector<std::string> files(args.positional.begin() + 1, args.positional.end());
  std::atomic<std::size_t> next{0};
  std::atomic<int> failures{0};
  const auto start = Clock::now();
  std::vector<std::thread> workers;
  for (int j = 0; j < args.jobs; ++j) {
    workers.emplace_back([&, j] {
      for (std::size_t i; (i = next++) < files.size();) {
        const std::string out =
            (outDir / ("w" + std::to_string(j) + "-" + std::to_string(i) + ".dpx")).string();
        try {
          ConvertRawToDpx(files[i], out, args.options);
        } catch (const std::exception& e) {
          std::fprintf(stderr, "%s: %s\n", files[i].c_str(), e.what());
          ++failures;
        }
      }
    });
  }
  for (auto& worker : workers) worker.join();
  const double ms = MsSince(start);
  std::printf("%zu files, %d jobs: %.1f ms total, %.1f ms per file\n", files.size(), args.jobs, ms,
              ms / static_cast<double>(files.size()));
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const Args args = Parse(argc, argv);
  EdsInitializeSDK();
  try {
    if (args.mode == "convert" && args.positional.size() == 2) {
      const auto start = Clock::now();
      ConvertRawToDpx(args.positional[0], args.positional[1], args.options);
      std::printf("%s: %.1f ms\n", args.positional[0].c_str(), MsSince(start));
    } else if (args.mode == "stages" && args.positional.size() == 2) {
      Stages(args.positional[0], args.positional[1], args.options);
    } else if (args.mode == "probe" && !args.positional.empty()) {
      for (const std::string& file : args.positional) {
        const auto start = Clock::now();
        TRawImageSize size;
        for (int r = 0; r < args.repeat; ++r) size = GetRawImageSize(file);
        std::printf("%s %dx%d: %.2f ms per probe\n", file.c_str(), size.Width, size.Height,
                    MsSince(start) / args.repeat);
      }
    } else if (args.mode == "parallel" && args.positional.size() >= 2) {
      return Parallel(args);
    } else {
      std::fprintf(stderr, "usage: see the comment at the top of bench/tarn_bench.cpp\n");
      return 2;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  EdsTerminateSDK();
  return 0;
}
