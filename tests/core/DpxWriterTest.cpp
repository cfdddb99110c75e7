// The DPX writer: the exact bytes of the header and pixel data, and failures that must leave
// the output folder exactly as it was (no partial file, no temporary file, no file replaced).
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <numeric>
#include <optional>
#include <thread>
#include <tuple>

#include "RawToDpx.h"
#include "Subprocess.h"
#include "TestPaths.h"

namespace fs = std::filesystem;
using tarn::test::DataDir;
using tarn::test::MessageOf;
using tarn::test::ReadFileBytes;
using tarn::test::TempDir;
using tarn::test::TextFromChild;
using tarn::test::WriteFileBytes;

namespace {

std::vector<std::uint8_t> Sequence(std::size_t count) {
  std::vector<std::uint8_t> bytes(count);
  std::iota(bytes.begin(), bytes.end(), std::uint8_t{1});
  return bytes;
}

std::string Write(const fs::path& path, std::int32_t width, std::int32_t height,
                  std::uint8_t colorSpace, const std::vector<std::uint8_t>& pixels) {
  TConvertOptions options;
  options.ColorSpace = colorSpace;
  WriteDpxFile(path.string(), width, height, options, pixels.data(),
               static_cast<std::int32_t>(pixels.size()));
  return ReadFileBytes(path);
}

std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (int v : values) bytes.push_back(static_cast<char>(v));
  return bytes;
}

TEST(DpxWriterTest, HeaderOfTwoByOnePicture) {
  TempDir dir;
  const std::vector<std::uint8_t> pixels = Sequence(12);
  const std::string file = Write(dir / "a.dpx", 2, 1, 0, pixels);
  ASSERT_EQ(file.size(), 2060u);

  const std::map<std::size_t, std::string> nonZero = {
      {0, "XPDS"},          {4, Bytes({0x00, 0x08, 0x00, 0x00})},
      {8, "V1.0"},          {16, Bytes({0x0C, 0x08, 0x00, 0x00})},
      {20, Bytes({0x01})},  {660, Bytes({0xFF, 0xFF, 0xFF, 0xFF})},
      {770, Bytes({0x01})}, {772, Bytes({0x02})},
      {776, Bytes({0x01})}, {800, Bytes({0x32, 0x06, 0x01, 0x10})},
      {804, Bytes({0x01})}, {808, Bytes({0x00, 0x08})},
  };
  std::string expected(2048, '\0');
  for (const auto& [offset, bytes] : nonZero) expected.replace(offset, bytes.size(), bytes);
  for (std::size_t i = 0; i < 2048; ++i) {
    EXPECT_EQ(file[i], expected[i]) << "header byte " << i;
  }
  EXPECT_EQ(file.substr(2048), std::string(pixels.begin(), pixels.end()));
}

TEST(DpxWriterTest, MatchesTheSeparatelyMadeFixture) {
  TempDir dir;
  // The 16-bit samples AB CD, 12 34, 56 78, FF 00, 00 FF, 7F 80, low byte first.
  const std::vector<std::uint8_t> pixels = {0xCD, 0xAB, 0x34, 0x12, 0x78, 0x56,
                                            0x00, 0xFF, 0xFF, 0x00, 0x80, 0x7F};
  EXPECT_EQ(Write(dir / "a.dpx", 2, 1, 0, pixels),
            ReadFileBytes(DataDir() / "dpx" / "written-2x1-rec709.dpx"));
}

TEST(DpxWriterTest, TransferCodeFollowsTheColorSpace) {
  // Transfer and colorimetric codes; ids past the last space act as the first.
  const std::tuple<std::uint8_t, char, char> cases[] = {
      {0, 6, 1}, {1, 2, 1}, {2, 2, 0}, {3, 2, 0}, {4, 2, 0}, {5, 0, 0}, {6, 6, 1}, {255, 6, 1}};
  TempDir dir;
  for (const auto& [colorSpace, transfer, colorimetric] : cases) {
    SCOPED_TRACE("ColorSpace " + std::to_string(colorSpace));
    const std::string file = Write(dir / "a.dpx", 1, 1, colorSpace, Sequence(6));
    EXPECT_EQ(file[801], transfer);
    EXPECT_EQ(file[802], colorimetric);
  }
}

TEST(DpxWriterTest, RowsFollowEachOtherWithoutPadding) {
  TempDir dir;
  const std::vector<std::uint8_t> pixels = Sequence(36);
  const std::string file = Write(dir / "a.dpx", 3, 2, 0, pixels);
  ASSERT_EQ(file.size(), 2084u);
  EXPECT_EQ(file.substr(2066), std::string(pixels.begin() + 18, pixels.end()));
  EXPECT_EQ(file.substr(16, 4), Bytes({0x24, 0x08, 0, 0}));
}

TEST(DpxWriterTest, NoPixelBytesStillDeclaresThePictureSize) {
  TempDir dir;
  const std::string file = Write(dir / "a.dpx", 4, 3, 0, {});
  ASSERT_EQ(file.size(), 2048u);
  EXPECT_EQ(file.substr(16, 4), Bytes({0x00, 0x08, 0, 0}));
  EXPECT_EQ(file.substr(772, 8), Bytes({4, 0, 0, 0, 3, 0, 0, 0}));
}

TEST(DpxWriterTest, ReplacesALongerFileAndLeavesNothingElse) {
  TempDir dir;
  WriteFileBytes(dir / "a.dpx", std::string(100000, 'x'));
  const std::string file = Write(dir / "a.dpx", 2, 1, 0, Sequence(12));
  EXPECT_EQ(file.size(), 2060u);
  EXPECT_EQ(fs::file_size(dir / "a.dpx"), 2060u);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
  // The mode any new file gets under the umask, not the private mode of a temporary file.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(static_cast<mode_t>(fs::status(dir / "a.dpx").permissions()), 0666 & ~mask);
}

// Pixels of several write steps (4 MiB), handed on in uneven parts from another thread as a
// develop would, with a tail off every alignment: the file is byte for byte the one written
// in one piece, and the old file stays until Finish.
TEST(DpxFileWriterTest, PixelsWrittenWhileTheyDevelopGiveTheSameFile) {
  TempDir dir;
  const std::int32_t width = 1001, height = 2237;  // 13.4 MB of pixels
  std::vector<std::uint8_t> pixels(std::size_t{6} * width * height);
  for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<std::uint8_t>(i % 253);
  const std::string whole = Write(dir / "whole.dpx", width, height, 0, pixels);

  WriteFileBytes(dir / "a.dpx", "old");
  DpxFileWriter writer((dir / "a.dpx").string(), width, height, TConvertOptions{}, pixels.data(),
                       static_cast<std::int32_t>(pixels.size()), nullptr);
  std::thread developer([&] {
    for (std::uint64_t ready = 0; ready < pixels.size(); ready += (std::uint64_t{1} << 20) + 4097) {
      writer.PixelsReady(ready);
    }
  });
  developer.join();
  EXPECT_EQ(ReadFileBytes(dir / "a.dpx"), "old");
  writer.Finish();
  EXPECT_EQ(ReadFileBytes(dir / "a.dpx"), whole);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
}

// A develop that fails after part of the picture went to the file: nothing of it stays, and the
// file that was there is untouched.
TEST(DpxFileWriterTest, WriterDroppedWithoutFinishLeavesTheFolderAsItWas) {
  TempDir dir;
  std::vector<std::uint8_t> pixels(std::size_t{6} * 1000 * 2000, 7);
  WriteFileBytes(dir / "a.dpx", "old");
  {
    DpxFileWriter writer((dir / "a.dpx").string(), 1000, 2000, TConvertOptions{}, pixels.data(),
                         static_cast<std::int32_t>(pixels.size()), nullptr);
    writer.PixelsReady(pixels.size() / 2);
  }
  EXPECT_EQ(ReadFileBytes(dir / "a.dpx"), "old");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

// The file cannot be made: Finish raises what WriteDpxFile raises, naming the file.
TEST(DpxFileWriterTest, FolderMissingIsRaisedByFinish) {
  TempDir dir;
  const std::vector<std::uint8_t> pixels(std::size_t{6} * 4 * 3, 1);
  const fs::path target = dir / "missing" / "a.dpx";
  DpxFileWriter writer(target.string(), 4, 3, TConvertOptions{}, pixels.data(),
                       static_cast<std::int32_t>(pixels.size()), nullptr);
  writer.PixelsReady(pixels.size());
  EXPECT_EQ(MessageOf([&] { writer.Finish(); }),
            "Cannot create file \"" + target.string() + "\". No such file or directory");
  EXPECT_FALSE(fs::exists(dir / "missing"));
}

// Replacing an output: the new picture goes where the old one really was (through symbolic
// links, which stay links) and keeps the old file's access mode.
struct ReplaceCase {
  const char* name;
  std::vector<std::pair<std::string, std::string>> links;  // link path -> link text, under dir
  std::optional<fs::perms> oldMode;  // of the file at `lands` before; none: no file there yet
  const char* lands;                 // where the picture must end up, under dir
};

void PrintTo(const ReplaceCase& c, std::ostream* os) {
  *os << c.name;
}

class DpxWriterReplaceTest : public ::testing::TestWithParam<ReplaceCase> {};

TEST_P(DpxWriterReplaceTest, WritesThroughLinksAndKeepsTheMode) {
  const ReplaceCase& c = GetParam();
  TempDir dir;
  fs::create_directories(dir / "shot");
  fs::create_directories(dir / "frames");
  const fs::path lands = dir / c.lands;
  if (c.oldMode) {
    WriteFileBytes(lands, std::string(5000, 'o'));
    fs::permissions(lands, *c.oldMode);
  }
  for (const auto& [link, text] : c.links) {
    fs::create_symlink(text == "<absolute>" ? lands : fs::path(text), dir / link);
  }

  const std::string written = Write(dir / "shot" / "a.dpx", 2, 1, 0, Sequence(12));
  EXPECT_EQ(written.size(), 2060u);
  EXPECT_EQ(ReadFileBytes(lands), written);
  for (const auto& [link, text] : c.links) {
    EXPECT_TRUE(fs::is_symlink(dir / link)) << link << " is no longer a link";
  }
  const mode_t mask = ::umask(0);
  ::umask(mask);
  const auto expectedMode = c.oldMode ? *c.oldMode : static_cast<fs::perms>(0666 & ~mask);
  EXPECT_EQ(fs::status(lands).permissions(), expectedMode);
  // Nothing but the links and the picture.
  std::size_t entries = 0;
  for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
    if (!entry.is_directory()) ++entries;
  }
  EXPECT_EQ(entries, c.links.size() + 1) << "a temporary file is left";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DpxWriterReplaceTest,
    ::testing::Values(
        ReplaceCase{"PlainFileKeepsItsMode",
                    {},
                    fs::perms::owner_read | fs::perms::owner_write,
                    "shot/a.dpx"},
        ReplaceCase{"RelativeLinkToAnotherFolder",
                    {{"shot/a.dpx", "../frames/f1.dpx"}},
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read,
                    "frames/f1.dpx"},
        ReplaceCase{"AbsoluteLink",
                    {{"shot/a.dpx", "<absolute>"}},
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read,
                    "frames/f1.dpx"},
        ReplaceCase{"ChainOfLinks",
                    {{"shot/b.dpx", "../frames/f1.dpx"}, {"shot/a.dpx", "b.dpx"}},
                    fs::perms::owner_read | fs::perms::owner_write,
                    "frames/f1.dpx"},
        ReplaceCase{"LinkToAFileNotWrittenYet",
                    {{"shot/a.dpx", "../frames/f1.dpx"}},
                    std::nullopt,
                    "frames/f1.dpx"}),
    [](const auto& info) { return std::string(info.param.name); });

// Every entry under a folder with the content of each file (only its size when longer than 64
// bytes), to compare before and after.
std::map<std::string, std::string> Snapshot(const fs::path& folder) {
  std::map<std::string, std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    const std::string name = fs::relative(entry.path(), folder).string();
    std::string content = entry.is_directory() ? "<folder>" : ReadFileBytes(entry.path());
    if (content.size() > 64) content = "<" + std::to_string(content.size()) + " bytes>";
    entries[name] = content;
  }
  return entries;
}

// How the write is run: here, or in a child process whose file size limit makes write() fail
// with EFBIG part way, or in a child process without root's power to write anywhere.
enum class Run { Here, WithFileSizeLimit, AsUnprivilegedUser };

constexpr char kSkipMarker[] = "SKIP: ";

std::string MessageInChild(Run run, const std::function<void()>& write) {
  return TextFromChild([&] {
    if (run == Run::WithFileSizeLimit) {
      ::signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{4096, 4096};
      ::setrlimit(RLIMIT_FSIZE, &limit);
    } else if (::geteuid() == 0 &&
               (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
      return std::string(kSkipMarker) + "cannot leave root to test a read-only folder";
    }
    return MessageOf(write);
  });
}

struct FailureCase {
  const char* name;
  Run run;
  // Prepares the folder and returns the output path to write.
  std::function<fs::path(const fs::path& folder)> prepare;
  std::int32_t byteCount;
  const char* messageStart;  // followed by "\"<path>\". " and the system's text
  const char* systemText;
};

void PrintTo(const FailureCase& c, std::ostream* os) {
  *os << c.name;
}

class DpxWriterFailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(DpxWriterFailureTest, RaisesAndLeavesTheFolderAsItWas) {
  const FailureCase& c = GetParam();
  TempDir dir;
  const fs::path target = c.prepare(dir.path());
  const auto before = Snapshot(dir.path());
  const std::vector<std::uint8_t> pixels = Sequence(64 * 1024);
  const auto write = [&] {
    WriteDpxFile(target.string(), 128, 64, {}, pixels.data(), c.byteCount);
  };

  const std::string message = c.run == Run::Here ? MessageOf(write) : MessageInChild(c.run, write);
  if (message.rfind(kSkipMarker, 0) == 0) GTEST_SKIP() << message.substr(sizeof kSkipMarker - 1);
  EXPECT_EQ(message, std::string(c.messageStart) + " \"" + target.string() + "\". " + c.systemText);
  EXPECT_EQ(Snapshot(dir.path()), before);
}

fs::path MakeFolderReadOnly(const fs::path& folder) {
  fs::create_directory(folder / "read-only");
  WriteFileBytes(folder / "read-only" / "a.dpx", "the previous picture");
  fs::permissions(folder / "read-only", fs::perms::owner_read | fs::perms::owner_exec |
                                            fs::perms::group_read | fs::perms::group_exec |
                                            fs::perms::others_read | fs::perms::others_exec);
  return folder / "read-only" / "a.dpx";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DpxWriterFailureTest,
    ::testing::Values(FailureCase{"MissingFolder", Run::Here,
                                  [](const fs::path& folder) {
                                    return folder / "missing" / "a.dpx";
                                  },
                                  64 * 1024, "Cannot create file", "No such file or directory"},
                      FailureCase{"OutputPathIsAFolder", Run::Here,
                                  [](const fs::path& folder) {
                                    fs::create_directory(folder / "a.dpx");
                                    WriteFileBytes(folder / "a.dpx" / "inside", "kept");
                                    return folder / "a.dpx";
                                  },
                                  64 * 1024, "Cannot create file", "Is a directory"},
                      FailureCase{"OutputFolderIsAFile", Run::Here,
                                  [](const fs::path& folder) {
                                    WriteFileBytes(folder / "out", "a file, not a folder");
                                    return folder / "out" / "a.dpx";
                                  },
                                  64 * 1024, "Cannot create file", "Not a directory"},
                      FailureCase{"ReadOnlyFolder", Run::AsUnprivilegedUser, MakeFolderReadOnly,
                                  64 * 1024, "Cannot create file", "Permission denied"},
                      FailureCase{"DiskFullMidWrite", Run::WithFileSizeLimit,
                                  [](const fs::path& folder) {
                                    WriteFileBytes(folder / "a.dpx", "the previous picture");
                                    return folder / "a.dpx";
                                  },
                                  64 * 1024, "Cannot write file", "File too large"},
                      FailureCase{"NegativeByteCount", Run::Here,
                                  [](const fs::path& folder) {
                                    WriteFileBytes(folder / "a.dpx", "the previous picture");
                                    return folder / "a.dpx";
                                  },
                                  -1, "Cannot write file", "Invalid argument"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
