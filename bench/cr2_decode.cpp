// Times our CR2 decoder against LibRaw's unpack of the same file, side by side, alternating, and
// checks that both give the same raw plane. One thread each; the file is read once into memory
// and LibRaw gets it from there too, so neither pays for the disk.
//
//   cr2_decode FILE [RUNS]     (RUNS defaults to 7; prints every run and the medians)
#include <libraw/libraw.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "develop/Cr2Decoder.h"

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// CPU time of this thread: on a shared machine it moves far less than the wall clock.
double ThreadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 != 0 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: cr2_decode FILE [RUNS]\n");
    return 2;
  }
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;
  std::ifstream in(argv[1], std::ios::binary);
  const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (file.empty()) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 1;
  }
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(file.data()),
                                            file.size());

  std::vector<double> ours, theirs, oursCpu, theirsCpu, reusedCpu, fromFile;
  // As a worker that keeps its buffer between frames decodes: no fresh pages to fault in.
  std::vector<std::uint16_t> reused;
  bool same = true;
  for (int run = 0; run < runs; ++run) {
    auto raw = std::make_unique<LibRaw>(LIBRAW_OPTIONS_NONE);
    raw->imgdata.params.use_camera_wb = 1;
    if (raw->open_buffer(const_cast<char*>(file.data()), file.size()) != LIBRAW_SUCCESS) {
      std::fprintf(stderr, "LibRaw cannot open %s\n", argv[1]);
      return 1;
    }
    Clock::time_point start = Clock::now();
    double cpu = ThreadCpuMs();
    if (raw->unpack() != LIBRAW_SUCCESS) {
      std::fprintf(stderr, "LibRaw cannot unpack %s\n", argv[1]);
      return 1;
    }
    theirs.push_back(MsSince(start));
    theirsCpu.push_back(ThreadCpuMs() - cpu);

    start = Clock::now();
    cpu = ThreadCpuMs();
    std::optional<RawPlane> plane;
    try {
      plane = DecodeCr2(bytes);
    } catch (const Cr2DataError& e) {
      std::fprintf(stderr, "%s: %s (%s)\n", argv[1], e.what(), e.detail().c_str());
      return 1;
    }
    ours.push_back(MsSince(start));
    oursCpu.push_back(ThreadCpuMs() - cpu);
    if (!plane) {
      std::fprintf(stderr, "%s is not a CR2 layout our decoder covers\n", argv[1]);
      return 1;
    }

    const std::optional<Cr2Image> image = Cr2Image::Parse(bytes);
    reused.resize(image->sampleCount());
    cpu = ThreadCpuMs();
    image->Decode(reused);
    reusedCpu.push_back(ThreadCpuMs() - cpu);

    start = Clock::now();
    DecodeCr2File(argv[1]);
    fromFile.push_back(MsSince(start));

    const libraw_image_sizes_t& sizes = raw->imgdata.sizes;
    same = same && plane->width == sizes.raw_width && plane->height == sizes.raw_height;
    for (int y = 0; same && y < plane->height; ++y) {
      const auto* row = reinterpret_cast<const std::uint8_t*>(raw->imgdata.rawdata.raw_image) +
                        std::size_t(y) * sizes.raw_pitch;
      same = std::memcmp(row, &plane->samples[std::size_t(y) * plane->width],
                         std::size_t(plane->width) * 2) == 0;
    }
    std::printf("run %d: ours %.1f ms (CPU %.1f), LibRaw unpack %.1f ms (CPU %.1f)\n", run + 1,
                ours.back(), oursCpu.back(), theirs.back(), theirsCpu.back());
  }
  const double a = Median(ours), b = Median(theirs), f = Median(fromFile);
  const double ac = Median(oursCpu), bc = Median(theirsCpu), rc = Median(reusedCpu);
  std::printf(
      "%s: median of %d runs\n  wall: ours %.1f ms, LibRaw unpack %.1f ms, %.2fx\n"
      "  CPU:  ours %.1f ms, LibRaw unpack %.1f ms, %.2fx\n"
      "  CPU:  ours into a reused buffer %.1f ms, %.2fx\n"
      "  wall: ours from the file (read included) %.1f ms\n  %s\n",
      argv[1], runs, a, b, b / a, ac, bc, bc / ac, rc, bc / rc, f,
      same ? "same raw plane" : "RAW PLANES DIFFER");
  return same ? 0 : 1;
}
