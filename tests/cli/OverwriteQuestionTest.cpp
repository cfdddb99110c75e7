// The question before an existing output file is replaced, as a user meets it in a terminal:
// every way of answering it, Ctrl-C and the end of the input included.
#include <gtest/gtest.h>

#include <filesystem>

#include "RawToDpx.h"
#include "Subprocess.h"
#include "TestPaths.h"

namespace fs = std::filesystem;
using namespace tarn::test;

namespace {

const fs::path kSmallRaw = DataDir() / "raw" / "kodak-dc50.kdc";
constexpr char kOldFrame[] = "the frame converted yesterday";
constexpr auto kLimit = std::chrono::seconds(60);

bool DeveloperAvailable() { return RawDeveloperReads(kSmallRaw); }

struct Step {
  std::string waitFor;  // output to wait for before typing
  std::string keys;
};

struct QuestionCase {
  const char* name;
  std::vector<Step> steps;
  int exitCode;
  std::vector<std::string> mentions;  // texts the terminal must show
  bool replaced;
};

void PrintTo(const QuestionCase& c, std::ostream* os) {
  *os << c.name;
}

constexpr char kQuestion[] = "? [y]es, [n]o, [c]ancel, yes to [a]ll: ";

const QuestionCase kCases[] = {
    {"Yes", {{kQuestion, "y\n"}}, 0, {"1 converted"}, true},
    {"No", {{kQuestion, "n\n"}}, 0, {"skipped, the output file exists"}, false},
    {"AnswersInAnyCase", {{kQuestion, "YES\n"}}, 0, {"1 converted"}, true},
    {"WrongAnswerSaysWhichAreRight",
     {{kQuestion, "maybe\n"}, {"Answer y (yes", ""}, {kQuestion, "n\n"}},
     0,
     {"n (no", "c (cancel", "a (yes to all"},
     false},
    // Without Enter: the run ends at once, as Ctrl-C ends it elsewhere.
    {"CtrlCEndsTheRunAtOnce", {{kQuestion, "\x03"}}, 130, {"interrupted"}, false},
    {"EndOfInputSaysWhy", {{kQuestion, "\x04"}}, 1, {"no answer"}, false},
};

class OverwriteQuestionTest : public ::testing::TestWithParam<QuestionCase> {};

}  // namespace

TEST_P(OverwriteQuestionTest, OnATerminal) {
  const QuestionCase& c = GetParam();
  if (!DeveloperAvailable()) GTEST_SKIP() << "the RAW developer cannot read " << kSmallRaw;
  TempDir dir;
  fs::create_directories(dir / "out");
  WriteFileBytes(dir / "out" / "a.dpx", kOldFrame);
  fs::copy_file(kSmallRaw, dir / "a.kdc");

  TerminalProcess raw2dpx({RAW2DPX_PATH, (dir / "a.kdc").string(), "-o", (dir / "out").string()});
  for (const Step& step : c.steps) {
    ASSERT_TRUE(raw2dpx.WaitForOutput(step.waitFor, kLimit))
        << "no \"" << step.waitFor << "\" on the terminal:\n"
        << raw2dpx.Output();
    raw2dpx.Type(step.keys);
  }
  const std::optional<int> status = raw2dpx.WaitForExit(kLimit);
  ASSERT_TRUE(status) << "still running after the answer:\n" << raw2dpx.Output();
  EXPECT_EQ(*status, c.exitCode) << raw2dpx.Output();
  for (const std::string& mention : c.mentions) {
    EXPECT_NE(raw2dpx.Output().find(mention), std::string::npos)
        << "the terminal lacks \"" << mention << "\":\n"
        << raw2dpx.Output();
  }
  // The question stays on the screen: the line is not cleared before the cursor has left it.
  const std::string output = raw2dpx.Output();
  const std::size_t asked = output.find(kQuestion);
  const std::size_t cleared = output.find("\033[K", asked);
  EXPECT_TRUE(cleared == std::string::npos || output.find('\n', asked) < cleared)
      << "the question was erased:\n"
      << output;
  EXPECT_EQ(ReadFileBytes(dir / "out" / "a.dpx") != kOldFrame, c.replaced);
}

INSTANTIATE_TEST_SUITE_P(Answers, OverwriteQuestionTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --overwrite ask with the answers coming from a pipe (or nothing at all).
TEST(OverwriteQuestionWithoutTerminalTest, AnswersFromStandardInputOrWhyItStops) {
  if (!DeveloperAvailable()) GTEST_SKIP() << "the RAW developer cannot read " << kSmallRaw;
  struct Row {
    std::string input;
    int exitCode;
    std::string mention;
    bool replaced;
  };
  const Row rows[] = {
      {"", 1, "no answer to the question (standard input ended)", false},
      {"n\n", 0, "skipped, the output file exists", false},
      {"y\n", 0, "", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("input \"" + row.input + "\"");
    TempDir dir;
    fs::create_directories(dir / "out");
    WriteFileBytes(dir / "out" / "a.dpx", kOldFrame);
    fs::copy_file(kSmallRaw, dir / "a.kdc");
    const ProcessResult result =
        RunProcess({RAW2DPX_PATH, "--overwrite", "ask", (dir / "a.kdc").string(), "-o",
                    (dir / "out").string()},
                   {{}, {}, row.input, {}});
    EXPECT_EQ(result.exitCode, row.exitCode) << result.err;
    EXPECT_NE(result.err.find(row.mention), std::string::npos) << result.err;
    EXPECT_EQ(ReadFileBytes(dir / "out" / "a.dpx") != kOldFrame, row.replaced);
  }
}
