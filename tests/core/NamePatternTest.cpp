// Output names from a pattern: fields, padding, numbering, and patterns that must be refused
// before any file is written.
#include <gtest/gtest.h>

#include "NamePattern.h"
#include "TestPaths.h"

using tarn::test::MessageOf;

namespace {

NameFields F(std::string stem, std::int64_t frame, std::string camera = {},
             std::optional<CaptureTime> time = std::nullopt) {
  return NameFields{std::move(stem), frame, std::move(camera), time};
}

struct ExpandCase {
  const char* name;
  const char* pattern;
  NameFields fields;
  const char* extension;
  const char* expected;
};

void PrintTo(const ExpandCase& c, std::ostream* os) {
  *os << c.name;
}

class NamePatternExpandTest : public ::testing::TestWithParam<ExpandCase> {};

TEST_P(NamePatternExpandTest, GivesTheFileName) {
  const ExpandCase& c = GetParam();
  EXPECT_EQ(NamePattern(c.pattern).Expand(c.fields, c.extension), c.expected);
}

const CaptureTime kNoon{2024, 5, 1, 12, 3, 4, 0};

INSTANTIATE_TEST_SUITE_P(
    Cases, NamePatternExpandTest,
    ::testing::Values(
        ExpandCase{"PaddedFrame", "shot_{frame:07}", F("IMG_0001", 42), ".dpx", "shot_0000042.dpx"},
        ExpandCase{"LeadingZeroOptional", "{frame:7}", F("a", 42), ".dpx", "0000042.dpx"},
        ExpandCase{"NumberWiderThanPadding", "f{frame:3}", F("a", 86400), ".exr", "f86400.exr"},
        ExpandCase{"UnpaddedFrame", "f{frame}", F("a", 7), ".dpx", "f7.dpx"},
        ExpandCase{"Stem", "{stem}_v2", F("IMG_0001", 1), ".dpx", "IMG_0001_v2.dpx"},
        ExpandCase{"StemWithSpacesDotsAndUnicode", "{stem}.{frame:4}",
                   F("Day 1 take.3 épreuve", 12), ".dpx", "Day 1 take.3 épreuve.0012.dpx"},
        ExpandCase{"StemWithPercentAndBraces", "{stem}", F("50% {x}", 1), ".dpx", "50% {x}.dpx"},
        ExpandCase{"EscapedBraces", "{{{frame:2}}}", F("a", 3), ".dpx", "{03}.dpx"},
        ExpandCase{"ExtensionNotDoubled", "shot_{frame:4}.dpx", F("a", 1), ".dpx", "shot_0001.dpx"},
        ExpandCase{"ExtensionAnyCase", "shot_{frame:4}.EXR", F("a", 1), ".exr", "shot_0001.EXR"},
        ExpandCase{"OtherExtensionKept", "shot_{frame:4}.dpx", F("a", 1), ".exr",
                   "shot_0001.dpx.exr"},
        ExpandCase{"CameraTrimmedAndSlashReplaced", "{camera}_{frame:2}",
                   F("a", 5, "  EOS 5D/Mk III "), ".dpx", "EOS 5D_Mk III_05.dpx"},
        ExpandCase{"DefaultDate", "{date}_{frame:3}", F("a", 1, "", kNoon), ".dpx",
                   "20240501_001.dpx"},
        ExpandCase{"DateFormat", "{date:%Y-%m-%d_%H%M%S_%%}", F("a", 1, "", kNoon), ".dpx",
                   "2024-05-01_120304_%.dpx"}));

struct RefusedCase {
  const char* name;
  const char* pattern;
  const char* messagePart;
};

void PrintTo(const RefusedCase& c, std::ostream* os) {
  *os << c.name;
}

class NamePatternRefusedTest : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(NamePatternRefusedTest, NamesTheFault) {
  const RefusedCase& c = GetParam();
  const std::string message = MessageOf([&] { NamePattern pattern(c.pattern); });
  EXPECT_NE(message.find(std::string("\"") + c.pattern + "\""), std::string::npos) << message;
  EXPECT_NE(message.find(c.messagePart), std::string::npos) << message;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NamePatternRefusedTest,
    ::testing::Values(RefusedCase{"Empty", "", "empty"},
                      RefusedCase{"IntoAnotherFolder", "../shot_{frame}", "\"/\""},
                      RefusedCase{"UnknownField", "{reel}_{frame}", "unknown field {reel}"},
                      RefusedCase{"UnclosedBrace", "shot_{frame", "without its"},
                      RefusedCase{"LoneClosingBrace", "shot}_{frame}", "lone"},
                      RefusedCase{"PaddingNotANumber", "{frame:x}", "padding"},
                      RefusedCase{"PaddingZero", "{frame:0}", "padding"},
                      RefusedCase{"PaddingTooWide", "{frame:40}", "padding"},
                      RefusedCase{"UnknownDateCode", "{date:%j}", "%Y"},
                      RefusedCase{"DateCodeCutShort", "{date:%Y%}", "%Y"}));

TEST(NamePatternTest, MissingFieldValuesAreErrorsNotEmptyNames) {
  EXPECT_NE(MessageOf([] {
              NamePattern("{camera}_{frame}").Expand(F("a", 1), ".dpx");
            }).find("no camera model"),
            std::string::npos);
  EXPECT_NE(MessageOf([] {
              NamePattern("{date}_{frame}").Expand(F("a", 1), ".dpx");
            }).find("no capture date"),
            std::string::npos);
}

TEST(NamePatternTest, PatternOfOnlyTheExtensionGivesNoName) {
  EXPECT_NE(MessageOf([] { NamePattern(".dpx").Expand(F("a", 1), ".dpx"); }).find("no file name"),
            std::string::npos);
}

struct NumberCase {
  std::int64_t start, step;
  std::size_t index;
  std::int64_t expected;
};

class FrameNumberTest : public ::testing::TestWithParam<NumberCase> {};

TEST_P(FrameNumberTest, CountsFromStartInSteps) {
  const NumberCase& c = GetParam();
  EXPECT_EQ(FrameNumber(c.start, c.step, c.index), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, FrameNumberTest,
                         ::testing::Values(NumberCase{1, 1, 0, 1}, NumberCase{1001, 1, 9, 1010},
                                           NumberCase{86400, 1, 999, 87399},
                                           NumberCase{0, 10, 3, 30},
                                           NumberCase{10000000, 2, 1000000, 12000000}));

}  // namespace
