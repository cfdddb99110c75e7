// The stages of our develop path on a 22-megapixel mosaic in memory (the 5D Mark III's picture
// size), without file reading or decoding: CPU and wall time of the tiled develop at full size
// on 1 and 2 threads, with and without the curve, and of the reduced 1920x1080 output.
//
//   develop_stages [--repeat N] [--tile SIDE] [--width W --height H] [--reduced-only 1]
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "develop/RawFrame.h"
#include "develop/TileScheduler.h"

namespace {

double CpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double WallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

int main(int argc, char** argv) {
  int repeat = 3, tile = kTileSide, width = 5796, height = 3870;
  bool reducedOnly = false;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    const int v = std::atoi(argv[i + 1]);
    if (a == "--repeat") repeat = v;
    if (a == "--tile") tile = v;
    if (a == "--width") width = v;
    if (a == "--height") height = v;
    if (a == "--reduced-only") reducedOnly = v != 0;
  }
  const int rawWidth = width + 124, rawHeight = height + 80;
  std::vector<std::uint16_t> mosaic(static_cast<std::size_t>(rawWidth) * rawHeight);
  std::mt19937 random(1);
  std::uniform_int_distribution<int> noise(0, 300);
  for (int y = 0; y < rawHeight; ++y) {
    for (int x = 0; x < rawWidth; ++x) {
      const int edge = ((x / 61) + (y / 47)) % 2 ? 9000 : 1800;
      mosaic[static_cast<std::size_t>(y) * rawWidth + x] = static_cast<std::uint16_t>(
          2048 + edge + 2000 * std::sin(x * 0.05 + y * 0.03) + 2000 + noise(random));
    }
  }
  RawFrame frame;
  frame.mosaic = mosaic.data();
  frame.rawWidth = rawWidth;
  frame.rawHeight = rawHeight;
  frame.pitch = rawWidth;
  frame.left = 122;
  frame.top = 78;
  frame.width = width;
  frame.height = height;
  frame.cfa = {0, 1, 3, 2};
  frame.black = {2048, 2048, 2048, 2048};
  frame.white = 15000;
  frame.multiplier = {2.0, 1.0, 1.5, 1.0};
  frame.cameraToOutput = {{{1.7f, -0.5f, -0.2f}, {-0.2f, 1.5f, -0.3f}, {0.0f, -0.6f, 1.6f}}};

  std::vector<std::uint16_t> out(std::size_t{3} * width * height);
  std::printf("%dx%d, tile %d, best of %d (seconds)\n", width, height, tile, repeat);
  std::printf("%-34s %8s %8s\n", "stage", "cpu", "wall");
  struct Row {
    const char* name;
    int threads;
    bool curve;
    bool reduced;
  };
  const Row rows[] = {{"full size, linear, 1 thread", 1, false, false},
                      {"full size, BT.709, 1 thread", 1, true, false},
                      {"full size, BT.709, 2 threads", 2, true, false},
                      {"1920x1080, BT.709, 1 thread", 1, true, true},
                      {"1920x1080, BT.709, 2 threads", 2, true, true}};
  for (const Row& row : rows) {
    if (reducedOnly && !row.reduced) continue;
    double bestCpu = 1e9, bestWall = 1e9;
    for (int r = 0; r < repeat; ++r) {
      const double c0 = CpuSeconds(), w0 = WallSeconds();
      if (row.reduced) {
        DevelopBayer(frame, out.data(), 1920, 1080, row.curve ? &Rec709Table() : nullptr,
                     row.threads);
      } else {
        DevelopTiles(frame, FlippedTarget(out.data(), width, height, 0),
                     row.curve ? &Rec709Table() : nullptr, row.threads, tile);
      }
      bestCpu = std::min(bestCpu, CpuSeconds() - c0);
      bestWall = std::min(bestWall, WallSeconds() - w0);
    }
    std::printf("%-34s %8.3f %8.3f\n", row.name, bestCpu, bestWall);
  }
  return 0;
}
