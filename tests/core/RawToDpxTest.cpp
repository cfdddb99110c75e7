// The conversion routine against the fake SDK backend: call order, arguments, release on every
// path, and the error texts.
#include <gtest/gtest.h>

#include <filesystem>

#include "FakeEdsBackend.h"
#include "RawToDpx.h"
#include "TestPaths.h"

namespace fs = std::filesystem;
using tarn::test::MessageOf;
using tarn::test::ReadFileBytes;
using tarn::test::TempDir;
using tarn::test::WriteFileBytes;

namespace {

class RawToDpxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake = std::make_shared<FakeEdsBackend>();
    fake->SetDefaultSize(5, 3);
    SetEdsBackend(fake);
  }
  void TearDown() override { SetEdsBackend(nullptr); }

  std::shared_ptr<FakeEdsBackend> fake;
  TempDir dir;
};

}  // namespace

TEST(CheckEdsErrorTest, FormatsEightUpperCaseHexDigits) {
  EXPECT_NO_THROW(CheckEdsError(0));
  const std::pair<EdsError, const char*> rows[] = {
      {0x61, "EOS Error: 00000061"},       {0x2C, "EOS Error: 0000002C"},
      {0xABCDEF12, "EOS Error: ABCDEF12"}, {0x80000001, "EOS Error: 80000001"},
      {0xFFFFFFFF, "EOS Error: FFFFFFFF"},
  };
  for (const auto& [code, text] : rows) {
    try {
      CheckEdsError(code);
      ADD_FAILURE() << "no error for " << code;
    } catch (const EosError& e) {
      EXPECT_STREQ(e.what(), text);
      EXPECT_EQ(e.code(), code);
    }
  }
}

TEST_F(RawToDpxTest, FullSizeCallSequenceAndReleaseOrder) {
  const fs::path out = dir / "a.dpx";
  ConvertRawToDpx("in.cr2", out.string(), {false, 1920, 1080, 0});

  const std::vector<std::string> expected = {
      "CreateFileStream", "CreateImageRef", "GetImageInfo", "CreateMemoryStream",
      "GetImage",         "GetPointer",     "GetLength",    "Release",
      "Release",          "Release"};
  EXPECT_EQ(fake->Ops(), expected);
  const auto calls = fake->Calls();
  EXPECT_EQ(calls[0].path, "in.cr2");
  EXPECT_EQ(calls[0].args, (std::vector<std::int64_t>{2, 0}));  // open existing, read
  EXPECT_EQ(calls[2].args, (std::vector<std::int64_t>{0}));     // full-view info
  EXPECT_EQ(calls[3].args, (std::vector<std::int64_t>{5 * 3 * 6}));
  // RAW full view, RGB16, whole picture, full size: Resize off ignores 1920x1080.
  EXPECT_EQ(calls[4].args, (std::vector<std::int64_t>{4, 10, 0, 0, 5, 3, 5, 3}));
  // File stream, image, memory stream.
  EXPECT_EQ(calls[7].args[0], 0);
  EXPECT_EQ(calls[8].args[0], 1);
  EXPECT_EQ(calls[9].args[0], 2);
  EXPECT_EQ(fake->LiveObjects(), 0);

  const std::string bytes = ReadFileBytes(out);
  ASSERT_EQ(bytes.size(), 2048u + 5 * 3 * 6);
  for (std::size_t i = 0; i < 5 * 3 * 6; ++i) {
    ASSERT_EQ(static_cast<std::uint8_t>(bytes[2048 + i]), FakeEdsBackend::PatternByte(i)) << i;
  }
}

TEST_F(RawToDpxTest, LinearSetsThePropertyOnceBeforeTheSizeQuery) {
  ConvertRawToDpx("in.cr2", (dir / "a.dpx").string(), {false, 0, 0, 1});
  const auto ops = fake->Ops();
  ASSERT_GE(ops.size(), 4u);
  EXPECT_EQ(ops[2], "SetPropertyData");
  EXPECT_EQ(ops[3], "GetImageInfo");
  EXPECT_EQ(std::count(ops.begin(), ops.end(), "SetPropertyData"), 1);
  EXPECT_EQ(fake->Calls()[2].args, (std::vector<std::int64_t>{0x300, 0, 4, 1}));
  EXPECT_EQ(static_cast<std::uint8_t>(ReadFileBytes(dir / "a.dpx")[801]), 2);
}

TEST_F(RawToDpxTest, OtherColorSpacesDoNotTouchTheProperty) {
  for (std::uint8_t colorSpace : {0, 255}) {
    ConvertRawToDpx("in.cr2", (dir / "a.dpx").string(), {false, 0, 0, colorSpace});
    const auto ops = fake->Ops();
    EXPECT_EQ(std::count(ops.begin(), ops.end(), "SetPropertyData"), 0) << int(colorSpace);
    EXPECT_EQ(static_cast<std::uint8_t>(ReadFileBytes(dir / "a.dpx")[801]), 6);
  }
}

TEST_F(RawToDpxTest, ResizeDevelopsTheWholePictureAtTheRequestedSize) {
  const fs::path out = dir / "a.dpx";
  ConvertRawToDpx("in.cr2", out.string(), {true, 7, 2, 0});
  const auto calls = fake->Calls();
  EXPECT_EQ(calls[3].args, (std::vector<std::int64_t>{7 * 2 * 6}));
  EXPECT_EQ(calls[4].args, (std::vector<std::int64_t>{4, 10, 0, 0, 5, 3, 7, 2}));
  const std::string bytes = ReadFileBytes(out);
  ASSERT_EQ(bytes.size(), 2048u + 7 * 2 * 6);
  // The header describes the destination size, not the RAW size.
  EXPECT_EQ(static_cast<std::uint8_t>(bytes[772]), 7);
  EXPECT_EQ(static_cast<std::uint8_t>(bytes[776]), 2);
}

TEST_F(RawToDpxTest, FailureAtEachStepRaisesReleasesAndWritesNothing) {
  const std::pair<const char*, std::uint8_t> steps[] = {
      {"CreateFileStream", 0}, {"CreateImageRef", 0},     {"SetPropertyData", 1},
      {"GetImageInfo", 0},     {"CreateMemoryStream", 0}, {"GetImage", 0}};
  for (const auto& [op, colorSpace] : steps) {
    SCOPED_TRACE(op);
    fake = std::make_shared<FakeEdsBackend>();
    SetEdsBackend(fake);
    fake->FailAt(op, 0x8000002D);
    const fs::path out = dir / "existing.dpx";
    WriteFileBytes(out, "keep me");
    EXPECT_EQ(MessageOf([&] {
                ConvertRawToDpx("in.cr2", out.string(), {false, 0, 0, colorSpace});
              }),
              "EOS Error: 8000002D");
    EXPECT_EQ(fake->Ops().back() == op || fake->Ops().back() == "Release", true);
    EXPECT_EQ(fake->LiveObjects(), 0);
    EXPECT_EQ(ReadFileBytes(out), "keep me");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
  }
}

TEST_F(RawToDpxTest, ImpossibleDestinationSizesAreRefusedBeforeAllocating) {
  const TConvertOptions rows[] = {{true, 0, 1080, 0},
                                  {true, 1920, -1, 0},
                                  {true, -5, -5, 0},
                                  {true, 20000, 20000, 0},
                                  {true, 357913942, 1, 0},
                                  // the 64-bit product of these wraps to a size that fits
                                  {true, 2147460477, 1431671213, 0},
                                  {true, 2147483647, 2147483647, 0}};
  for (const TConvertOptions& options : rows) {
    SCOPED_TRACE(std::to_string(options.Width) + "x" + std::to_string(options.Height));
    fake = std::make_shared<FakeEdsBackend>();
    SetEdsBackend(fake);
    EXPECT_EQ(MessageOf([&] { ConvertRawToDpx("in.cr2", (dir / "x.dpx").string(), options); }),
              "EOS Error: 00000060");
    const auto ops = fake->Ops();
    EXPECT_EQ(std::count(ops.begin(), ops.end(), "CreateMemoryStream"), 0);
    EXPECT_EQ(fake->LiveObjects(), 0);
    EXPECT_FALSE(fs::exists(dir / "x.dpx"));
  }
}

TEST_F(RawToDpxTest, ShortDevelopedDataIsAnErrorNotAShortFile) {
  fake->SetShortLength(true);
  EXPECT_EQ(MessageOf([&] { ConvertRawToDpx("in.cr2", (dir / "a.dpx").string(), {}); }),
            "EOS Error: 00000002");
  EXPECT_FALSE(fs::exists(dir / "a.dpx"));
  EXPECT_EQ(fake->LiveObjects(), 0);
}

TEST_F(RawToDpxTest, GetRawImageSizeOpensProbesAndReleases) {
  fake->SetSize("big.cr2", 5796, 3870);
  const TRawImageSize size = GetRawImageSize("big.cr2");
  EXPECT_EQ(size.Width, 5796);
  EXPECT_EQ(size.Height, 3870);
  const std::vector<std::string> expected = {"CreateFileStream", "CreateImageRef", "GetImageInfo",
                                             "Release", "Release"};
  EXPECT_EQ(fake->Ops(), expected);
  EXPECT_EQ(fake->Calls()[3].args[0], 0);  // file stream first
  EXPECT_EQ(fake->Calls()[4].args[0], 1);

  fake->FailPath("missing.cr2", 0x22);
  EXPECT_EQ(MessageOf([] { GetRawImageSize("missing.cr2"); }), "EOS Error: 00000022");
  EXPECT_EQ(fake->LiveObjects(), 0);
}
