// raw2dpx's colour choices on sequences: one white balance for frames whose as-shot balance
// changes, and --info -v telling the balance and matrix without changing the plain line.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>

#include "Subprocess.h"
#include "TestPaths.h"

namespace fs = std::filesystem;
using namespace tarn::test;

namespace {

// A noise-free flat field lit at cct, the camera's as-shot balance neutralising that light.
void MakeFlat(const fs::path& tool, double cct, const fs::path& out) {
  const std::string command =
      std::string(fs::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3") + " '" +
      tool.string() + "' --model 350d --scene flat --noise-free" + " --scene-cct " +
      std::to_string(cct) + " '" + out.string() + "' >/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

class ColourCliTest : public ::testing::Test {
 protected:
  // Frames 1 and 3 show the same scene; frame 2 is lit warmer, as an auto white balance
  // following a cloud would record it. Made once for the suite.
  static void SetUpTestSuite() {
    const auto tool = Cr2Generator();
    if (!tool) return;
    frames = std::make_unique<TempDir>();
    MakeFlat(*tool, 5200, *frames / "A_0001.cr2");
    MakeFlat(*tool, 3800, *frames / "A_0002.cr2");
    fs::copy_file(*frames / "A_0001.cr2", *frames / "A_0003.cr2");
  }
  static void TearDownTestSuite() { frames.reset(); }

  void SetUp() override {
    if (frames == nullptr) GTEST_SKIP() << "shared tools/make_cr2.py not available";
    for (const char* name : {"A_0001.cr2", "A_0002.cr2", "A_0003.cr2"})
      fs::copy_file(*frames / name, dir / name);
  }

  ProcessResult Run(std::vector<std::string> args) {
    args.insert(args.begin(), RAW2DPX_PATH);
    return RunProcess(args);
  }

  std::string Bytes(const std::string& folder, const std::string& name) {
    return ReadFileBytes(dir / folder / name);
  }

  static inline std::unique_ptr<TempDir> frames;
  TempDir dir;
};

std::vector<std::string> Frames(const TempDir& dir) {
  return {(dir / "A_0001.cr2").string(), (dir / "A_0002.cr2").string(),
          (dir / "A_0003.cr2").string()};
}

// --wb-from gives every frame the reference's multipliers: exactly what --wb with those numbers
// gives, whatever each frame recorded; the same scene gives the same pixels.
TEST_F(ColourCliTest, WhiteBalanceFromOneFrameForTheWholeSequence) {
  const ProcessResult info = Run({"--info", "-v", (dir / "A_0002.cr2").string()});
  ASSERT_EQ(info.exitCode, 0) << info.err;
  const std::string key = "white balance as shot: ";
  const std::size_t at = info.out.find(key);
  ASSERT_NE(at, std::string::npos) << info.out;
  const std::string multipliers =
      info.out.substr(at + key.size(), info.out.find(' ', at + key.size()) - at - key.size());

  std::vector<std::string> from = {
      "--wb-from", (dir / "A_0002.cr2").string(), "--color-space", "linear", "--resize", "320x213",
      "-o",        (dir / "from").string()};
  std::vector<std::string> fixed = {
      "--wb",    multipliers, "--color-space",         "linear", "--resize",
      "320x213", "-o",        (dir / "fixed").string()};
  std::vector<std::string> asShot = {"--color-space", "linear", "--resize",
                                     "320x213",       "-o",     (dir / "asshot").string()};
  for (auto* args : {&from, &fixed, &asShot}) {
    for (const std::string& f : Frames(dir)) args->push_back(f);
    const ProcessResult r = Run(*args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
  }
  for (const char* name : {"A_0001.dpx", "A_0002.dpx", "A_0003.dpx"}) {
    SCOPED_TRACE(name);
    // Printed to 4 decimals: within a code of the exact multipliers.
    const std::string a = Bytes("from", name), b = Bytes("fixed", name);
    ASSERT_EQ(a.size(), b.size());
    int worst = 0;
    for (std::size_t i = 2048; i + 1 < a.size(); i += 2) {
      const int va = static_cast<unsigned char>(a[i]) | static_cast<unsigned char>(a[i + 1]) << 8;
      const int vb = static_cast<unsigned char>(b[i]) | static_cast<unsigned char>(b[i + 1]) << 8;
      worst = std::max(worst, std::abs(va - vb));
    }
    EXPECT_LE(worst, 1);
  }
  EXPECT_EQ(Bytes("from", "A_0001.dpx"), Bytes("from", "A_0003.dpx"));
  EXPECT_EQ(Bytes("from", "A_0002.dpx"), Bytes("asshot", "A_0002.dpx"))
      << "the reference frame itself develops as shot";
  EXPECT_NE(Bytes("from", "A_0001.dpx"), Bytes("asshot", "A_0001.dpx"))
      << "the other frames take the reference's balance, not their own";
}

// The default is flicker-free: the same scene at the same exposure gives the same values.
TEST_F(ColourCliTest, SameSceneGivesTheSameFileByDefault) {
  std::vector<std::string> args = {"--resize", "320x213", "-o", (dir / "out").string()};
  for (const std::string& f : Frames(dir)) args.push_back(f);
  const ProcessResult r = Run(args);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(Bytes("out", "A_0001.dpx"), Bytes("out", "A_0003.dpx"));
}

// --info -v estimates the light the as-shot balance neutralises; plain --info keeps its two
// tab-separated fields, the size last, for the scripts that read it.
TEST_F(ColourCliTest, InfoTellsTheAsShotTemperature) {
  const ProcessResult verbose = Run({"--info", "-v", (dir / "A_0002.cr2").string()});
  ASSERT_EQ(verbose.exitCode, 0) << verbose.err;
  const std::size_t about = verbose.out.find("about ");
  ASSERT_NE(about, std::string::npos) << verbose.out;
  EXPECT_NEAR(std::stod(verbose.out.substr(about + 6)), 3800, 60) << verbose.out;
  EXPECT_NE(verbose.out.find("\n  camera matrix"), std::string::npos) << verbose.out;

  const ProcessResult plain = Run({"--info", (dir / "A_0002.cr2").string()});
  ASSERT_EQ(plain.exitCode, 0) << plain.err;
  EXPECT_EQ(plain.out, (dir / "A_0002.cr2").string() + "\t3474x2314\n");
}

// A reference frame that cannot be read stops the run before any frame is written.
TEST_F(ColourCliTest, UnreadableReferenceFrameConvertsNothing) {
  std::vector<std::string> args = {"--wb-from", (dir / "missing.cr2").string(), "-o",
                                   (dir / "out").string()};
  for (const std::string& f : Frames(dir)) args.push_back(f);
  const ProcessResult r = Run(args);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("missing.cr2"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(dir / "out" / "A_0001.dpx"));
}

}  // namespace
