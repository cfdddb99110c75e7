// What raw2dpx refuses or reports before converting anything. A dry run must tell the same as
// the real run, with the same messages and exit status, and neither may make the output
// folder for a run it refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <regex>

#include "Subprocess.h"
#include "TestPaths.h"

namespace fs = std::filesystem;
using namespace tarn::test;

namespace {

struct CheckCase {
  const char* name;
  // Makes the inputs under `in`; returns raw2dpx's arguments before "-o out".
  std::function<std::vector<std::string>(const fs::path& in, const fs::path& out)> setUp;
  int exitCode;
  std::vector<std::string> errorMentions;  // texts stderr must contain
  bool outputFolderMade;                   // by the real run; a dry run never makes it
};

void PrintTo(const CheckCase& c, std::ostream* os) {
  *os << c.name;
}

// Any bytes will do: these runs end before a picture is developed.
std::string Raw(const fs::path& path) {
  fs::create_directories(path.parent_path());
  WriteFileBytes(path, "raw");
  return path.string();
}

const CheckCase kCases[] = {
    {"SameOutputNameFromTwoFolders",
     [](const fs::path& in, const fs::path&) {
       return std::vector<std::string>{"--overwrite", "always", Raw(in / "a.kdc"),
                                       Raw(in / "d2" / "a.kdc")};
     },
     2,
     {"d2/a.kdc: same output file as " + std::string("IN/a.kdc"), "a.dpx"},
     false},
    {"EveryClashNamed",
     [](const fs::path& in, const fs::path&) {
       return std::vector<std::string>{Raw(in / "a.kdc"), Raw(in / "b.cr2"), Raw(in / "a.nef"),
                                       Raw(in / "d2" / "b.cr2"), Raw(in / "d3" / "a.kdc")};
     },
     2,
     {"IN/a.nef: same output file as IN/a.kdc", "IN/d2/b.cr2: same output file as IN/b.cr2",
      "IN/d3/a.kdc: same output file as IN/a.kdc"},
     false},
    {"SameFileListedTwice",
     [](const fs::path& in, const fs::path&) {
       const std::string raw = Raw(in / "a.kdc");
       WriteFileBytes(in / "list.txt", raw + "\n");
       return std::vector<std::string>{"--list", (in / "list.txt").string(), raw};
     },
     2,
     {"IN/a.kdc: same output file as IN/a.kdc"},
     false},
    {"ResizeBeyondAnyFrame",
     [](const fs::path& in, const fs::path&) {
       return std::vector<std::string>{"--resize", "65535x65535", Raw(in / "a.kdc")};
     },
     2,
     {"--resize 65535x65535", "2147483647"},
     false},
    {"FolderWithoutRawFiles",
     [](const fs::path& in, const fs::path&) {
       fs::create_directories(in / "cards");
       WriteFileBytes(in / "cards" / "notes.txt", "no pictures here");
       return std::vector<std::string>{(in / "cards").string()};
     },
     1,
     {"IN/cards: no RAW files found", "nothing found to convert"},
     false},
    {"ListWithoutPaths",
     [](const fs::path& in, const fs::path&) {
       WriteFileBytes(in / "frames.txt", "# day 1\n\n");
       return std::vector<std::string>{"--list", (in / "frames.txt").string()};
     },
     1,
     {"IN/frames.txt: no paths in the list", "nothing found to convert"},
     false},
    {"MissingInput",
     [](const fs::path& in, const fs::path&) {
       return std::vector<std::string>{(in / "gone.cr2").string()};
     },
     1,
     {"IN/gone.cr2: EOS Error: 00000022 (file not found)"},
     true},
    {"OutputFolderIsAPlainFile",
     [](const fs::path& in, const fs::path& out) {
       WriteFileBytes(out, "a file, not a folder");
       return std::vector<std::string>{Raw(in / "a.kdc")};
     },
     1,
     {"cannot use as output folder: Not a directory"},
     true},
    {"OutputFolderInsideAPlainFile",
     [](const fs::path& in, const fs::path& out) {
       WriteFileBytes(out.parent_path() / "plain", "a file, not a folder");
       return std::vector<std::string>{Raw(in / "a.kdc"), "-o",
                                       (out.parent_path() / "plain" / "out").string()};
     },
     1,
     {"cannot use as output folder: Not a directory"},
     false},
};

class RunChecksTest : public ::testing::TestWithParam<std::tuple<CheckCase, bool>> {};

}  // namespace

TEST_P(RunChecksTest, RealAndDryRunTellTheSame) {
  const auto& [c, dryRun] = GetParam();
  TempDir dir;
  const fs::path in = dir / "in";
  const fs::path out = dir / "out";
  fs::create_directories(in);
  std::vector<std::string> args = c.setUp(in, out);
  const bool outWasAFile = fs::is_regular_file(out);
  args.insert(args.begin(), RAW2DPX_PATH);
  if (dryRun) args.insert(args.begin() + 1, "--dry-run");
  if (std::find(args.begin(), args.end(), "-o") == args.end()) {
    args.push_back("-o");
    args.push_back(out.string());
  }
  const ProcessResult result = RunProcess(args);

  EXPECT_EQ(result.exitCode, c.exitCode) << result.err;
  for (std::string mention : c.errorMentions) {
    mention = std::regex_replace(mention, std::regex("IN"), in.string());
    EXPECT_NE(result.err.find(mention), std::string::npos)
        << "stderr lacks \"" << mention << "\":\n"
        << result.err;
  }
  if (outWasAFile) {
    EXPECT_EQ(ReadFileBytes(out), "a file, not a folder");
  } else {
    EXPECT_EQ(fs::exists(out), c.outputFolderMade && !dryRun) << result.err;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, RunChecksTest,
                         ::testing::Combine(::testing::ValuesIn(kCases), ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) ? "_DryRun" : "_Run");
                         });

// help2man and scripts rely on the conventional forms: text on standard output, exit 0.
TEST(ProgramInfoTest, HelpAndVersion) {
  const ProcessResult version = RunProcess({RAW2DPX_PATH, "--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out, "raw2dpx " PRODUCT_VERSION "\n");
  EXPECT_EQ(version.err, "");

  const ProcessResult help = RunProcess({RAW2DPX_PATH, "--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_EQ(help.out.rfind("Usage: raw2dpx", 0), 0u) << help.out;
  EXPECT_NE(help.out.find("--version"), std::string::npos);
  EXPECT_NE(help.out.find("130 when interrupted"), std::string::npos);
  EXPECT_EQ(help.err, "");
}
