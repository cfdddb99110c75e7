// What the converter does with the inputs and disks users really have: damaged and odd files,
// awkward paths, unusable output folders, a full disk, interruptions and concurrent runs.
// Each case runs raw2dpx as a user would and checks the promise: a clear error naming the
// file, no partial or stray file, existing files untouched.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "RawToDpx.h"
#include "Subprocess.h"
#include "TestPaths.h"

namespace fs = std::filesystem;
using namespace tarn::test;

namespace {

constexpr uid_t kNobody = 65534;
// A user no other process has, for limits counted per user.
const uid_t kFreshUser = 3'000'000 + static_cast<uid_t>(getpid() % 1'000'000);
const fs::path kSmallRaw = DataDir() / "raw" / "kodak-dc50.kdc";
constexpr std::uintmax_t kSmallDpxSize = 2048 + 768 * 512 * 6;

bool IsCompleteDpx(const fs::path& path, std::uintmax_t size = kSmallDpxSize) {
  std::error_code ec;
  return fs::file_size(path, ec) == size && ReadFileBytes(path).substr(0, 4) == "XPDS";
}

// Files in folder other than the expected outputs: temporary or partial leftovers.
std::vector<std::string> Leftovers(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.front() == '.') names.push_back(name);
  }
  return names;
}

bool DeveloperAvailable() { return RawDeveloperReads(kSmallRaw); }

struct BadInputCase {
  const char* name;
  // Prepares inputs under `in` (and may make `out` unusable); returns raw2dpx's arguments
  // before "-o out".
  std::function<std::vector<std::string>(const fs::path& in, const fs::path& out)> setUp;
  ProcessOptions process;
  int exitCode;
  std::vector<std::string> errorMentions;  // texts stderr must contain
  std::vector<std::string> converted;      // outputs that must exist, complete
  std::vector<std::string> absent = {};    // outputs that must not exist
};

void PrintTo(const BadInputCase& c, std::ostream* os) {
  *os << c.name;
}

fs::path CopySmallRaw(const fs::path& to) {
  fs::create_directories(to.parent_path());
  fs::copy_file(kSmallRaw, to, fs::copy_options::overwrite_existing);
  return to;
}

const BadInputCase kCases[] = {
    {"EmptyFile",
     [](const fs::path& in, const fs::path&) {
       WriteFileBytes(in / "empty.cr2", "");
       return std::vector<std::string>{(in / "empty.cr2").string()};
     },
     {},
     1,
     {"empty.cr2", "EOS Error: 0000002D"},
     {}},
    {"NotARawFile",
     [](const fs::path&, const fs::path&) {
       return std::vector<std::string>{(DataDir() / "raw" / "not-a-raw.cr2").string()};
     },
     {},
     1,
     {"not-a-raw.cr2", "EOS Error: 0000002C", "not a RAW file"},
     {}},
    {"TruncatedFile",
     [](const fs::path&, const fs::path&) {
       return std::vector<std::string>{(DataDir() / "raw" / "truncated.cr2").string()};
     },
     {},
     1,
     {"truncated.cr2", "EOS Error: 0000002"},
     {}},
    {"DataLostInsideTheFile",
     [](const fs::path&, const fs::path&) {
       return std::vector<std::string>{
           (DataDir() / "raw" / "stub-canon-eos-m50-no-image-data.cr3").string()};
     },
     {},
     1,
     {"stub-canon-eos-m50-no-image-data.cr3", "EOS Error: 0000002D"},
     {}},
    {"MissingFile",
     [](const fs::path& in, const fs::path&) {
       return std::vector<std::string>{(in / "gone.cr2").string()};
     },
     {},
     1,
     {"gone.cr2", "EOS Error: 00000022", "file not found"},
     {}},
    {"UnreadableFile",
     [](const fs::path& in, const fs::path&) {
       const fs::path raw = CopySmallRaw(in / "secret.kdc");
       fs::permissions(raw, fs::perms::none);
       return std::vector<std::string>{raw.string()};
     },
     {kNobody, {}, {}, {}},
     1,
     {"secret.kdc", "EOS Error: 00000029", "permission denied"},
     {}},
    {"SpacesAndNonAsciiLetters",
     [](const fs::path& in, const fs::path&) {
       return std::vector<std::string>{CopySmallRaw(in / "Día 1" / "IMG 0001 ü.kdc").string()};
     },
     {},
     0,
     {},
     {"IMG 0001 ü.dpx"}},
    {"VeryLongPath",
     [](const fs::path& in, const fs::path&) {
       fs::path deep = in;
       for (int i = 0; i < 8; ++i) deep /= std::string(120, char('a' + i));
       return std::vector<std::string>{CopySmallRaw(deep / "frame.kdc").string()};
     },
     {},
     0,
     {},
     {"frame.dpx"}},
    {"LinkLoopInAFolder",
     [](const fs::path& in, const fs::path&) {
       CopySmallRaw(in / "cards" / "a.kdc");
       fs::create_symlink("loop.kdc", in / "cards" / "loop.kdc");
       return std::vector<std::string>{"--keep-going", (in / "cards").string()};
     },
     {},
     1,
     {"loop.kdc", "EOS Error: 00000023"},
     {"a.dpx"}},
    {"OutputFolderIsAFile",
     [](const fs::path& in, const fs::path& out) {
       fs::remove(out);
       WriteFileBytes(out, "not a folder");
       return std::vector<std::string>{CopySmallRaw(in / "a.kdc").string()};
     },
     {},
     1,
     {"cannot use as output folder"},
     {}},
    {"OutputFolderReadOnly",
     [](const fs::path& in, const fs::path& out) {
       const fs::path raw = CopySmallRaw(in / "a.kdc");
       WriteFileBytes(out / "a.dpx", "old frame");
       fs::permissions(out, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
       return std::vector<std::string>{"--overwrite", "always", raw.string()};
     },
     {kNobody, {}, {}, {}},
     1,
     {"Cannot create file", "a.dpx", "Permission denied"},
     {}},
    {"DiskFullMidWrite",
     [](const fs::path& in, const fs::path& out) {
       WriteFileBytes(out / "a.dpx", "old frame");
       return std::vector<std::string>{"--overwrite", "always",
                                       CopySmallRaw(in / "a.kdc").string()};
     },
     {{}, 1 << 20, {}, {}},
     1,
     {"a.dpx", "File too large"},
     {}},
    {"StopsAtTheFirstFailure",
     [](const fs::path& in, const fs::path&) {
       return std::vector<std::string>{"--jobs", "1", CopySmallRaw(in / "1.kdc").string(),
                                       (in / "2.kdc").string(),
                                       CopySmallRaw(in / "3.kdc").string()};
     },
     {},
     1,
     {"2.kdc", "EOS Error: 00000022"},
     {"1.dpx"},
     {"2.dpx", "3.dpx"}},
    // ulimit -u reached: the thread a conversion needs cannot start.
    {"NoThreadForAConversion",
     [](const fs::path& in, const fs::path&) {
       return std::vector<std::string>{"--jobs", "2", CopySmallRaw(in / "a.kdc").string(),
                                       CopySmallRaw(in / "b.kdc").string()};
     },
     {kFreshUser, {}, {}, 2},  // the program and the thread that takes Ctrl-C
     1,
     {"a.kdc", "cannot start a conversion thread", "Resource temporarily unavailable"},
     {},
     {"a.dpx", "b.dpx"}},
    {"NoThreadAtAll",
     [](const fs::path& in, const fs::path&) {
       return std::vector<std::string>{CopySmallRaw(in / "a.kdc").string()};
     },
     {kFreshUser, {}, {}, 1},
     1,
     {"cannot start", "Resource temporarily unavailable"},
     {},
     {"a.dpx"}},
    {"KeepGoingPastAFailure",
     [](const fs::path& in, const fs::path&) {
       return std::vector<std::string>{"--keep-going", CopySmallRaw(in / "1.kdc").string(),
                                       (in / "2.kdc").string(),
                                       CopySmallRaw(in / "3.kdc").string()};
     },
     {},
     1,
     {"2.kdc"},
     {"1.dpx", "3.dpx"}},
};

class BadInputTest : public ::testing::TestWithParam<BadInputCase> {
 protected:
  void SetUp() override {
    if (!DeveloperAvailable()) GTEST_SKIP() << "the RAW developer cannot read " << kSmallRaw;
    fs::create_directories(in);
    fs::create_directories(out);
    // Cases that run as an ordinary user need to reach the folders.
    fs::permissions(dir.path(), fs::perms::all);
    fs::permissions(in, fs::perms::all);
    fs::permissions(out, fs::perms::all);
  }

  TempDir dir;
  fs::path in = dir / "in";
  fs::path out = dir / "out";
};

}  // namespace

TEST_P(BadInputTest, FailsClearlyAndLosesNothing) {
  const BadInputCase& c = GetParam();
  std::vector<std::string> args = c.setUp(in, out);
  if (c.process.runAs && geteuid() != 0) {
    GTEST_SKIP() << "needs root to run the case as an ordinary user";
  }
  // Everything the case made must be reachable by the user it runs as.
  for (const auto& entry : fs::recursive_directory_iterator(in)) {
    if (entry.path().filename() != "secret.kdc" && !entry.is_symlink()) {
      fs::permissions(entry.path(), fs::perms::all);
    }
  }
  const std::string before =
      fs::is_regular_file(out / "a.dpx") ? ReadFileBytes(out / "a.dpx") : std::string();

  fs::path program = RAW2DPX_PATH;
  if (c.process.runAs) {
    // The build tree may lie in a folder only its owner can enter (a checkout under mktemp -d):
    // the ordinary user runs a copy in the case's own folder.
    program = dir / "raw2dpx";
    fs::copy_file(RAW2DPX_PATH, program);
    fs::permissions(program, fs::perms::all);
  }
  args.insert(args.begin(), program.string());
  args.push_back("-o");
  args.push_back(out.string());
  const ProcessResult result = RunProcess(args, c.process);

  EXPECT_EQ(result.exitCode, c.exitCode) << result.err;
  for (const std::string& mention : c.errorMentions) {
    EXPECT_NE(result.err.find(mention), std::string::npos)
        << "stderr lacks \"" << mention << "\":\n"
        << result.err;
  }
  for (const std::string& name : c.converted) {
    EXPECT_TRUE(IsCompleteDpx(out / name)) << name;
  }
  for (const std::string& name : c.absent) {
    EXPECT_FALSE(fs::exists(out / name)) << name;
  }
  if (fs::is_directory(out)) {
    EXPECT_EQ(Leftovers(out), std::vector<std::string>{});
    if (!before.empty()) {
      EXPECT_EQ(ReadFileBytes(out / "a.dpx"), before) << "an existing file was changed";
    }
    if (c.converted.empty()) {
      for (const auto& entry : fs::directory_iterator(out)) {
        EXPECT_EQ(entry.path().filename(), "a.dpx") << "unexpected output " << entry.path();
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, BadInputTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FolderAsFileTest, AFolderIsNoRawFile) {
  if (!DeveloperAvailable()) GTEST_SKIP() << "the RAW developer cannot read " << kSmallRaw;
  TempDir dir;
  fs::create_directories(dir / "folder.cr2");
  for (const auto& call : std::vector<std::function<void()>>{
           [&] { GetRawImageSize((dir / "folder.cr2").string()); },
           [&] { ConvertRawToDpx((dir / "folder.cr2").string(), (dir / "x.dpx").string(), {}); }}) {
    try {
      call();
      ADD_FAILURE() << "a folder was read as a RAW file";
    } catch (const EosError& e) {
      EXPECT_STREQ(e.what(), "EOS Error: 00000023");
    }
  }
  EXPECT_FALSE(fs::exists(dir / "x.dpx"));
}

// An input that disappears or changes between being listed and being converted is read afresh.
TEST(ChangedInputTest, DeletedOrReplacedAfterBeingListed) {
  if (!DeveloperAvailable()) GTEST_SKIP() << "the RAW developer cannot read " << kSmallRaw;
  TempDir dir;
  const fs::path raw = CopySmallRaw(dir / "frame.kdc");
  const TRawImageSize listed = GetRawImageSize(raw.string());
  EXPECT_EQ(listed.Width, 768);

  fs::remove(raw);
  try {
    ConvertRawToDpx(raw.string(), (dir / "frame.dpx").string(), {});
    ADD_FAILURE() << "converted a deleted file";
  } catch (const EosError& e) {
    EXPECT_EQ(e.code(), 0x22u);
  }
  EXPECT_FALSE(fs::exists(dir / "frame.dpx"));

  WriteFileBytes(raw, "replaced by something else");
  EXPECT_THROW(ConvertRawToDpx(raw.string(), (dir / "frame.dpx").string(), {}), EosError);
  EXPECT_FALSE(fs::exists(dir / "frame.dpx"));
}

namespace {

class InterruptTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    if (!DeveloperAvailable()) GTEST_SKIP() << "the RAW developer cannot read " << kSmallRaw;
    fs::create_directories(in);
    for (int i = 0; i < kFrames; ++i) CopySmallRaw(in / ("f" + std::to_string(i) + ".kdc"));
  }
  int CompleteOutputs() {
    int complete = 0;
    for (int i = 0; i < kFrames; ++i) {
      const fs::path dpx = out / ("f" + std::to_string(i) + ".dpx");
      if (fs::exists(dpx)) {
        EXPECT_TRUE(IsCompleteDpx(dpx)) << dpx << " is partial";
        ++complete;
      }
    }
    return complete;
  }

  static constexpr int kFrames = 24;
  TempDir dir;
  fs::path in = dir / "in";
  fs::path out = dir / "out";
};

}  // namespace

TEST_P(InterruptTest, KilledMidBatchLeavesOnlyCompleteFilesAndAResumableBatch) {
  const int signal = GetParam();
  const pid_t pid = StartProcess({RAW2DPX_PATH, "--jobs", "2", in.string(), "-o", out.string()});
  // Wait for the first finished frame, so that the signal lands mid-batch.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!fs::exists(out / "f0.dpx") && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(pid, signal);
  const int status = WaitProcess(pid);
  if (signal == SIGKILL) {
    EXPECT_EQ(status, -SIGKILL);
  } else {
    EXPECT_EQ(status, 130);
  }
  const int done = CompleteOutputs();
  EXPECT_GE(done, 1);
  EXPECT_EQ(Leftovers(out), std::vector<std::string>{});

  const ProcessResult rerun =
      RunProcess({RAW2DPX_PATH, "--overwrite", "never", in.string(), "-o", out.string()});
  EXPECT_EQ(rerun.exitCode, 0) << rerun.err;
  EXPECT_NE(rerun.out.find(std::to_string(kFrames - done) + " converted, " + std::to_string(done) +
                           " skipped, 0 failed"),
            std::string::npos)
      << rerun.out;
  EXPECT_EQ(CompleteOutputs(), kFrames);
}

INSTANTIATE_TEST_SUITE_P(Signals, InterruptTest, ::testing::Values(SIGINT, SIGTERM, SIGKILL),
                         [](const auto& info) {
                           return std::string(info.param == SIGINT    ? "SIGINT"
                                              : info.param == SIGTERM ? "SIGTERM"
                                                                      : "SIGKILL");
                         });

TEST(ConcurrentRunsTest, TwoRunsIntoOneFolderBothLeaveCompleteFiles) {
  if (!DeveloperAvailable()) GTEST_SKIP() << "the RAW developer cannot read " << kSmallRaw;
  TempDir dir;
  std::vector<std::string> inputs;
  for (int i = 0; i < 6; ++i)
    inputs.push_back(CopySmallRaw(dir / "in" / ("f" + std::to_string(i) + ".kdc")).string());
  std::vector<std::string> args = {
      RAW2DPX_PATH, "--jobs", "1", "--overwrite", "always", "-o", (dir / "out").string()};
  args.insert(args.end(), inputs.begin(), inputs.end());
  const pid_t first = StartProcess(args);
  const pid_t second = StartProcess(args);
  EXPECT_EQ(WaitProcess(first), 0);
  EXPECT_EQ(WaitProcess(second), 0);
  for (int i = 0; i < 6; ++i) {
    EXPECT_TRUE(IsCompleteDpx(dir / "out" / ("f" + std::to_string(i) + ".dpx"))) << i;
  }
  EXPECT_EQ(Leftovers(dir / "out"), std::vector<std::string>{});
}
