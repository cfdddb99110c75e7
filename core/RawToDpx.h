// One RAW file in, one 16-bit RGB DPX file out.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "ColourOptions.h"
#include "Exception.h"
#include "ExrWriter.h"
#include "FrameInfo.h"
#include "edsdk/EDSDKTypes.h"

// The options of one batch run, captured once and passed by value to every conversion.
struct TConvertOptions {
  bool Resize = false;  // scale to Width x Height; false: full size, Width/Height ignored
  std::int32_t Width = 0;
  std::int32_t Height = 0;
  std::uint8_t ColorSpace = 0;  // kColorSpace...; any other value acts as kColorSpaceRec709
  std::uint8_t Demosaic = 0;    // kDemosaicRcd or kDemosaicAhd; any other value acts as 0

  std::uint8_t WhiteBalance = kWhiteBalanceAsShot;  // kWhiteBalance...
  // Red, green, blue, with kWhiteBalanceMultipliers; scaled so that green is 1.
  std::array<double, 3> WhiteBalanceMultipliers{1, 1, 1};
  // With kWhiteBalanceTemperature: Kelvin, and tint (positive towards green, as raw
  // developers show it).
  double WhiteBalanceKelvin = 5500;
  double WhiteBalanceTint = 0;
  double ExposureStops = 0;                   // applied in linear light, before the highlight clip
  std::uint8_t Highlights = kHighlightsClip;  // kHighlights...
};

// Our tiled develop path (RCD demosaic) wherever it covers the file, LibRaw's AHD elsewhere.
constexpr std::uint8_t kDemosaicRcd = 0;
// LibRaw's own develop with AHD for every file: the output of earlier versions.
constexpr std::uint8_t kDemosaicAhd = 1;

struct TRawImageSize {
  std::int32_t Width = 0;
  std::int32_t Height = 0;
};

// Raises EosError for a non-zero code; returns silently for 0.
void CheckEdsError(EdsError code);

// Full-size width and height of the developed picture (after the camera's orientation).
TRawImageSize GetRawImageSize(const std::string& rawPath);

// The white balance rawPath was shot with: what a sequence takes from its reference frame
// (kWhiteBalanceMultipliers), so that every frame gets the same balance.
TWhiteBalance AsShotWhiteBalance(const std::string& rawPath);

// What --info tells about a file's colour: its as-shot balance, the colour temperature and
// tint that balance neutralises (estimated through the camera's matrix), and the matrix.
struct TCameraColour {
  TWhiteBalance asShot;
  bool hasMatrix = false;  // false for sensors without a three-colour matrix
  double kelvin = 0;       // with hasMatrix
  double tint = 0;
  std::array<std::array<double, 3>, 3> cameraToRec709{};  // white-balanced camera RGB
};
TCameraColour CameraColour(const std::string& rawPath);

// True when rawPath is developed by our own path with these options, false when by LibRaw's.
bool UsesOwnDevelopPath(const std::string& rawPath, TConvertOptions options);

// Develops rawPath and writes the DPX file at outPath, replacing a file already there. Nothing
// is written to outPath unless the whole picture was developed and written.
void ConvertRawToDpx(const std::string& rawPath, const std::string& outPath,
                     TConvertOptions options);

// Writes a 2048-byte little-endian DPX header and byteCount pixel bytes unchanged. The file
// appears at outPath only when complete; an existing file is replaced atomically or left as it
// was. Raises Exception("Cannot create file \"<path>\". <system text>") and other write errors.
// With frame, the header also carries the file's source, creation, sequence position, frame
// rate and timecode; without it, the header is the plain one above.
void WriteDpxFile(const std::string& outPath, std::int32_t width, std::int32_t height,
                  TConvertOptions options, const void* pixels, std::int32_t byteCount,
                  const TFrameInfo* frame = nullptr);

class PendingFile;

// WriteDpxFile in steps, for a picture that is still being developed into pixels: PixelsReady
// tells how many pixel bytes, from the start, are final, and a thread of the writer's own puts
// them into the file while the rest develops, so that the disk works meanwhile; Finish writes
// the rest and the header and publishes the file, raising what WriteDpxFile raises. The file is
// made when the first pixels are ready (a develop that fails first leaves no trace of it); a
// writer dropped without Finish leaves nothing at outPath.
class DpxFileWriter {
 public:
  DpxFileWriter(std::string outPath, std::int32_t width, std::int32_t height,
                TConvertOptions options, const void* pixels, std::int32_t byteCount,
                const TFrameInfo* frame);
  ~DpxFileWriter();
  DpxFileWriter(const DpxFileWriter&) = delete;
  DpxFileWriter& operator=(const DpxFileWriter&) = delete;

  // From any thread; bytes only grow from call to call.
  void PixelsReady(std::uint64_t bytes);
  void Finish();

 private:
  void WriteInBackground();
  // Creates the file on first use and writes pixel bytes [from, to).
  void WritePixels(std::uint64_t from, std::uint64_t to);

  std::string outPath_;
  std::int32_t width_;
  std::int32_t height_;
  TConvertOptions options_;
  const char* pixels_;
  std::uint64_t pixelBytes_;
  const TFrameInfo* frame_;
  std::unique_ptr<PendingFile> file_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t ready_ = 0;    // pixel bytes final in memory
  std::uint64_t written_ = 0;  // pixel bytes in the file (the writer thread's, while it runs)
  bool finishing_ = false;
  bool stopping_ = false;
  std::exception_ptr error_;
  std::thread thread_;
};

enum class OutputFormat { Dpx, Exr };

struct TOutputSettings {
  OutputFormat format = OutputFormat::Dpx;
  ExrSettings exr;
};

// ".dpx" or ".exr".
const char* OutputExtension(OutputFormat format);

// The space an OpenEXR file holds for a chosen colorSpace: OpenEXR holds scene-linear light, so
// the BT.709 rendering becomes linear Rec.709 (as it always has) and ACEScct its linear AP1,
// ACEScg; the linear spaces stay.
std::uint8_t ExrColorSpace(std::uint8_t colorSpace);

// ConvertRawToDpx for either format. OpenEXR files get the linear space of ExrColorSpace, with
// its primaries and white as chromaticities; frame, when given, carries the metadata of the
// file.
void ConvertRawFile(const std::string& rawPath, const std::string& outPath, TConvertOptions options,
                    const TOutputSettings& output, const TFrameInfo* frame);
