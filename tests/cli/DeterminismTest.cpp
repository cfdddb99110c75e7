// A frame's full-size DPX file is the same whatever the run around it: conversions at once
// (--jobs), and the threads each development gets (the CPUs the process may use, shared by the
// developments running together).
#include <gtest/gtest.h>
#include <sched.h>

#include <filesystem>
#include <string>
#include <vector>

#include "Subprocess.h"
#include "TestPaths.h"

namespace fs = std::filesystem;
using namespace tarn::test;

namespace {

// While alive, this process and the programs it starts may use only the first CPU they had.
class OneCpuOnly {
 public:
  OneCpuOnly() {
    if (::sched_getaffinity(0, sizeof saved_, &saved_) != 0) return;
    cpu_set_t one;
    CPU_ZERO(&one);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
      if (CPU_ISSET(cpu, &saved_)) {
        CPU_SET(cpu, &one);
        break;
      }
    }
    restricted_ = ::sched_setaffinity(0, sizeof one, &one) == 0;
  }
  ~OneCpuOnly() {
    if (restricted_) ::sched_setaffinity(0, sizeof saved_, &saved_);
  }
  OneCpuOnly(const OneCpuOnly&) = delete;
  OneCpuOnly& operator=(const OneCpuOnly&) = delete;
  bool restricted() const { return restricted_; }

 private:
  cpu_set_t saved_{};
  bool restricted_ = false;
};

struct RunCase {
  const char* name;
  bool oneCpu;  // raw2dpx started with an affinity mask of one CPU
  std::vector<std::string> options;
};

void PrintTo(const RunCase& c, std::ostream* os) {
  *os << c.name;
}

// Copies of one CR2, so that two conversions run side by side with --jobs 2.
constexpr int kCopies = 2;

class DeterminismTest : public ::testing::TestWithParam<RunCase> {
 protected:
  static void SetUpTestSuite() {
    inputs_ = new TempDir;
    for (int i = 0; i < kCopies; ++i) {
      fs::copy_file(DataDir() / "raw" / "eos-350d-small.cr2",
                    *inputs_ / ("frame" + std::to_string(i) + ".cr2"));
    }
    reference_ = new TempDir;
    const ProcessResult run =
        RunProcess({RAW2DPX_PATH, "--jobs", "1", (*inputs_ / "frame0.cr2").string(), "-o",
                    reference_->path().string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
  }
  static void TearDownTestSuite() {
    delete inputs_;
    delete reference_;
    inputs_ = reference_ = nullptr;
  }

  static TempDir* inputs_;
  static TempDir* reference_;  // frame0.dpx: --jobs 1 with every CPU
};

TempDir* DeterminismTest::inputs_ = nullptr;
TempDir* DeterminismTest::reference_ = nullptr;

INSTANTIATE_TEST_SUITE_P(Runs, DeterminismTest,
                         ::testing::Values(RunCase{"OneJob", false, {"--jobs", "1"}},
                                           RunCase{"TwoJobs", false, {"--jobs", "2"}},
                                           RunCase{"TwoJobsOnOneCpu", true, {"--jobs", "2"}},
                                           RunCase{"OneJobOnOneCpu", true, {"--jobs", "1"}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(DeterminismTest, EveryFrameEqualsTheReference) {
  ASSERT_NE(reference_, nullptr);
  TempDir out;
  std::vector<std::string> argv = {RAW2DPX_PATH};
  argv.insert(argv.end(), GetParam().options.begin(), GetParam().options.end());
  argv.push_back("-v");
  argv.push_back(inputs_->path().string());
  argv.push_back("-o");
  argv.push_back(out.path().string());
  ProcessResult run;
  if (GetParam().oneCpu) {
    const OneCpuOnly restriction;
    ASSERT_TRUE(restriction.restricted());
    run = RunProcess(argv);
    EXPECT_NE(run.err.find("1 CPU usable"), std::string::npos) << run.err;
  } else {
    run = RunProcess(argv);
  }
  ASSERT_EQ(run.exitCode, 0) << run.err;

  const std::string reference = ReadFileBytes(*reference_ / "frame0.dpx");
  ASSERT_GT(reference.size(), 2048u);
  for (int i = 0; i < kCopies; ++i) {
    SCOPED_TRACE("frame" + std::to_string(i));
    const std::string frame = ReadFileBytes(out / ("frame" + std::to_string(i) + ".dpx"));
    ASSERT_EQ(frame.size(), reference.size());
    std::size_t first = 0;
    while (first < frame.size() && frame[first] == reference[first]) ++first;
    EXPECT_EQ(first, frame.size()) << "first differing byte at " << first;
  }
}

}  // namespace
