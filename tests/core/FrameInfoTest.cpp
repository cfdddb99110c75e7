// Frame rates and timecodes as users type them and as the headers store them.
#include <gtest/gtest.h>

#include "FrameInfo.h"

namespace {

struct RateCase {
  const char* text;
  std::optional<FrameRate> expected;
  int timebase;
};

class ParseFrameRateTest : public ::testing::TestWithParam<RateCase> {};

TEST_P(ParseFrameRateTest, GivesTheExactRational) {
  const RateCase& c = GetParam();
  const std::optional<FrameRate> rate = ParseFrameRate(c.text);
  ASSERT_EQ(rate.has_value(), c.expected.has_value());
  if (!rate) return;
  EXPECT_EQ(rate->numerator, c.expected->numerator);
  EXPECT_EQ(rate->denominator, c.expected->denominator);
  EXPECT_EQ(rate->timebase(), c.timebase);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseFrameRateTest,
    ::testing::Values(RateCase{"24", FrameRate{24, 1}, 24}, RateCase{"25", FrameRate{25, 1}, 25},
                      RateCase{"23.976", FrameRate{24000, 1001}, 24},
                      RateCase{"23.98", FrameRate{24000, 1001}, 24},
                      RateCase{"29.97", FrameRate{30000, 1001}, 30},
                      RateCase{"59.94", FrameRate{60000, 1001}, 60},
                      RateCase{"30000/1001", FrameRate{30000, 1001}, 30},
                      RateCase{"12.5", FrameRate{125, 10}, 13}, RateCase{"0", std::nullopt, 0},
                      RateCase{"-24", std::nullopt, 0}, RateCase{"24fps", std::nullopt, 0},
                      RateCase{"24/0", std::nullopt, 0}, RateCase{"", std::nullopt, 0},
                      RateCase{"1e3", std::nullopt, 0}, RateCase{"5000", std::nullopt, 0}));

struct TimecodeCase {
  const char* text;
  int timebase;
  std::optional<Timecode> expected;
};

class ParseTimecodeTest : public ::testing::TestWithParam<TimecodeCase> {};

TEST_P(ParseTimecodeTest, AcceptsOnlyValidTimecodes) {
  const TimecodeCase& c = GetParam();
  EXPECT_EQ(ParseTimecode(c.text, c.timebase), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, ParseTimecodeTest,
                         ::testing::Values(TimecodeCase{"01:00:00:00", 24, Timecode{1, 0, 0, 0}},
                                           TimecodeCase{"23:59:59:23", 24,
                                                        Timecode{23, 59, 59, 23}},
                                           TimecodeCase{"00:00:00:24", 24, std::nullopt},
                                           TimecodeCase{"00:00:00:24", 25, Timecode{0, 0, 0, 24}},
                                           TimecodeCase{"24:00:00:00", 24, std::nullopt},
                                           TimecodeCase{"00:60:00:00", 24, std::nullopt},
                                           TimecodeCase{"1:00:00:00", 24, std::nullopt},
                                           TimecodeCase{"01:00:00;00", 30, std::nullopt},
                                           TimecodeCase{"01:00:00:0a", 24, std::nullopt},
                                           TimecodeCase{"01:00:00:00 ", 24, std::nullopt}));

struct AddCase {
  Timecode start;
  std::int64_t frames;
  int timebase;
  Timecode expected;
};

class AddFramesTest : public ::testing::TestWithParam<AddCase> {};

TEST_P(AddFramesTest, CarriesIntoSecondsHoursAndRoundTheClock) {
  const AddCase& c = GetParam();
  EXPECT_EQ(AddFrames(c.start, c.frames, c.timebase), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AddFramesTest,
    ::testing::Values(AddCase{{0, 0, 0, 0}, 0, 24, {0, 0, 0, 0}},
                      AddCase{{0, 0, 0, 23}, 1, 24, {0, 0, 1, 0}},
                      AddCase{{0, 59, 59, 24}, 1, 25, {1, 0, 0, 0}},
                      AddCase{{1, 0, 0, 0}, 999, 24, {1, 0, 41, 15}},
                      AddCase{{23, 59, 59, 29}, 1, 30, {0, 0, 0, 0}},
                      AddCase{{0, 0, 0, 0}, 86400LL * 24 * 3 + 5, 24, {0, 0, 0, 5}}));

TEST(TimecodeBcdTest, PacksTwoDecimalDigitsPerByteHoursFirst) {
  EXPECT_EQ(TimecodeBcd({1, 2, 3, 4}), 0x01020304u);
  EXPECT_EQ(TimecodeBcd({23, 59, 58, 29}), 0x23595829u);
  EXPECT_EQ(ToString({23, 59, 58, 9}), "23:59:58:09");
}

}  // namespace
