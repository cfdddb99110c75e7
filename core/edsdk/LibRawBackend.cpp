#include "LibRawBackend.h"

#include <fcntl.h>
#include <libraw/libraw.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "ColourOptions.h"
#include "EDSDKErrors.h"
#include "Resample.h"
#include "SystemResources.h"
#include "TransferCurve.h"
#include "develop/ColourSpaces.h"
#include "develop/Cr2Decoder.h"
#include "develop/HugePageBuffer.h"
#include "develop/RawFrame.h"
#include "develop/TileScheduler.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Limits checked before LibRaw allocates anything for the picture.

// Sensors beyond this (in pixels) are refused: the raw buffer and the 8-byte-per-pixel working
// picture would need more than 5 GB.
constexpr std::int64_t kMaxPixels = std::int64_t{1} << 29;
// LibRaw's own cap on the raw buffer, in MiB (4-sample sRAW/Foveon data at kMaxPixels).
constexpr unsigned kMaxRawMemoryMb = 4096;
// Even the flattest frame a camera writes takes more than 1/32 bit per sensor pixel, whatever
// the compression; a header that claims more pixels than that is lying or the data is gone.
constexpr std::int64_t kMaxPixelsPerFileByte = 256;

// ---------------------------------------------------------------------------------------------
// Stage times for the benchmark (TARN_PROFILE=1 prints them to stderr).

bool ProfilingOn() {
  static const bool on = [] {
    const char* value = std::getenv("TARN_PROFILE");
    return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
  }();
  return on;
}

class StageClock {
 public:
  double Lap() {
    const auto now = std::chrono::steady_clock::now();
    const double ms = std::chrono::duration<double, std::milli>(now - last_).count();
    last_ = now;
    return ms;
  }

 private:
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

// ---------------------------------------------------------------------------------------------
// The RAW file, opened once for reading and shared by its stream and the images made from it.

class InputFile {
 public:
  // Opens path for reading; error() tells how that went.
  explicit InputFile(const char* path) : path_(path) {
    // Non-blocking, so that a FIFO given as a RAW file cannot hang the open.
    fd_ = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd_ < 0) {
      error_ = OpenErrorCode(errno);
      return;
    }
    struct stat info {};
    if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
      error_ = EDS_ERR_FILE_OPEN_ERROR;
      return;
    }
    size_ = info.st_size;
  }
  ~InputFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  EdsError error() const { return error_; }
  int fd() const { return fd_; }
  std::int64_t size() const { return size_; }
  const std::string& path() const { return path_; }

 private:
  static EdsError OpenErrorCode(int error) {
    switch (error) {
      case ENOENT:
      case ENOTDIR:
        return EDS_ERR_FILE_NOT_FOUND;
      case EACCES:
      case EPERM:
        return EDS_ERR_FILE_PERMISSION_ERROR;
      case ENOMEM:
        return EDS_ERR_MEM_ALLOC_FAILED;
      default:
        return EDS_ERR_FILE_OPEN_ERROR;
    }
  }

  std::string path_;
  int fd_ = -1;
  EdsError error_ = EDS_ERR_OK;
  std::int64_t size_ = 0;
};

// LibRaw reads through this: positioned reads on the shared descriptor, buffered for LibRaw's
// many one-byte reads. It remembers the first system read error (so that a failing disk is told
// apart from a truncated file) and whether picture data was sought beyond the end of the file:
// some of LibRaw's decoders stop quietly there and leave the rest of the picture black.
class FileDataStream final : public LibRaw_abstract_datastream {
 public:
  explicit FileDataStream(std::shared_ptr<InputFile> file)
      : file_(std::move(file)), size_(file_->size()), buffer_(kBufferSize) {}

  int readError() const { return readError_; }
  // From now on, reads are of picture data, which must all be in the file.
  void ExpectPictureData() { pictureData_ = true; }
  bool pictureDataMissing() const {
    return emptyPictureReads_ > 0 || pictureBytesPastEnd_ > kLookAheadPastEnd;
  }

  int valid() override { return 1; }

  int read(void* ptr, size_t size, size_t nmemb) override {
    if (size == 0 || nmemb == 0) return 0;
    const size_t wanted = size * nmemb;
    auto* out = static_cast<char*>(ptr);
    size_t done = 0;
    while (done < wanted) {
      if (InBuffer()) {
        const size_t n = std::min<size_t>(wanted - done, bufferStart_ + bufferLength_ - pos_);
        std::memcpy(out + done, buffer_.data() + (pos_ - bufferStart_), n);
        pos_ += static_cast<std::int64_t>(n);
        done += n;
      } else if (wanted - done >= kBufferSize) {
        const size_t n = ReadAt(out + done, wanted - done, pos_);
        if (n == 0) break;
        pos_ += static_cast<std::int64_t>(n);
        done += n;
      } else if (!Fill()) {
        break;
      }
    }
    // A block that straddles the end may be read short; one that starts there has no data.
    if (done == 0 && pictureData_) ++emptyPictureReads_;
    return static_cast<int>(done / size);
  }

  int seek(INT64 offset, int whence) override {
    std::int64_t target = offset;
    if (whence == SEEK_CUR) target += pos_;
    if (whence == SEEK_END) target += size_;
    if (target < 0) return -1;
    pos_ = target;
    return 0;
  }

  INT64 tell() override { return pos_; }
  INT64 size() override { return size_; }

  int get_char() override {
    if (!InBuffer() && !Fill()) {
      if (pictureData_) ++pictureBytesPastEnd_;
      return EOF;
    }
    return static_cast<unsigned char>(buffer_[static_cast<size_t>(pos_++ - bufferStart_)]);
  }

  // fgets: up to n - 1 characters, through the first newline.
  char* gets(char* s, int n) override {
    if (n < 1) return nullptr;
    int length = 0;
    while (length < n - 1) {
      const int c = get_char();
      if (c == EOF) break;
      s[length++] = static_cast<char>(c);
      if (c == '\n') break;
    }
    if (length == 0 && n > 1) return nullptr;
    s[length] = '\0';
    return s;
  }

  // LibRaw reads single "%d" or "%f" numbers from text headers this way.
  int scanf_one(const char* format, void* value) override {
    char text[72] = {};
    if (ReadAt(text, sizeof text - 1, pos_) == 0) return EOF;
    const std::string withCount = std::string(format) + "%n";
    int consumed = 0;
    const int result = std::sscanf(text, withCount.c_str(), value, &consumed);
    if (result == 1) pos_ += consumed;
    return result;
  }

  int eof() override { return pos_ >= size_; }
  void* make_jas_stream() override { return nullptr; }
  const char* fname() override { return file_->path().c_str(); }

 private:
  static constexpr size_t kBufferSize = 256 * 1024;
  // A bit reader may look a few bytes ahead of the last code it decodes.
  static constexpr int kLookAheadPastEnd = 16;

  bool InBuffer() const { return pos_ >= bufferStart_ && pos_ < bufferStart_ + bufferLength_; }

  bool Fill() {
    bufferStart_ = pos_;
    bufferLength_ = static_cast<std::int64_t>(ReadAt(buffer_.data(), kBufferSize, pos_));
    return bufferLength_ > 0;
  }

  size_t ReadAt(char* out, size_t count, std::int64_t offset) {
    size_t done = 0;
    while (done < count && offset + static_cast<std::int64_t>(done) < size_) {
      const ssize_t n = ::pread(file_->fd(), out + done, count - done,
                                static_cast<off_t>(offset + static_cast<std::int64_t>(done)));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        if (readError_ == 0) readError_ = errno;
        break;
      }
      if (n == 0) break;
      done += static_cast<size_t>(n);
    }
    return done;
  }

  std::shared_ptr<InputFile> file_;
  std::int64_t size_;
  std::vector<char> buffer_;
  std::int64_t bufferStart_ = 0;
  std::int64_t bufferLength_ = 0;
  std::int64_t pos_ = 0;
  int readError_ = 0;
  bool pictureData_ = false;
  int emptyPictureReads_ = 0;
  int pictureBytesPastEnd_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Rendering: every LibRaw setting that shapes the picture, in one place.

// LibRaw's "not given" for the per-channel black levels (anything above -1000000 overrides).
constexpr int kLibRawCblackFromFile = -1000001;

void ConfigureLibRaw(libraw_output_params_t& p, bool halfSize) {
  p.output_bps = 16;
  p.output_tiff = 0;
  p.half_size = halfSize ? 1 : 0;  // 2x2 cells become one pixel: quarter the work
  p.four_color_rgb = 0;
  p.user_qual = 3;      // AHD demosaic
  p.use_camera_wb = 1;  // white balance as shot
  p.use_auto_wb = 0;
  std::fill(std::begin(p.user_mul), std::end(p.user_mul), 0.0f);
  std::fill(std::begin(p.greybox), std::end(p.greybox), 0u);
  p.greybox[2] = p.greybox[3] = UINT_MAX;
  p.use_camera_matrix = 1;  // the camera's matrix, also with its own WB
  p.output_color = 1;       // sRGB / Rec.709 primaries, D65
  p.output_profile = nullptr;
  p.camera_profile = nullptr;
  p.highlight = 0;  // clip highlights
  // Equal exposure must give equal values across a sequence: no brightening from the picture's
  // histogram and no white level taken from the frame's own maximum.
  p.no_auto_bright = 1;
  p.bright = 1.0f;
  p.auto_bright_thr = LIBRAW_DEFAULT_AUTO_BRIGHTNESS_THRESHOLD;
  p.adjust_maximum_thr = 0.0f;
  p.user_black = -1;  // black and white levels from the file
  std::fill(std::begin(p.user_cblack), std::end(p.user_cblack), kLibRawCblackFromFile);
  p.user_sat = -1;
  p.user_flip = -1;       // the orientation the camera recorded
  p.use_fuji_rotate = 1;  // and square pixels
  // LibRaw's curve stays linear; the transfer curve is applied while the buffer is filled.
  p.gamm[0] = 1.0;
  p.gamm[1] = 1.0;
  p.no_auto_scale = 0;
  p.no_interpolation = 0;
  p.threshold = 0.0f;  // no wavelet denoising
  p.fbdd_noiserd = 0;
  p.med_passes = 0;
  p.green_matching = 0;
  p.exp_correc = 0;
  p.exp_shift = 1.0f;
  p.exp_preser = 0.0f;
  p.aber[0] = p.aber[1] = p.aber[2] = p.aber[3] = 1.0;
  p.cropbox[0] = p.cropbox[1] = 0;
  p.cropbox[2] = p.cropbox[3] = UINT_MAX;
  p.bad_pixels = nullptr;
  p.dark_frame = nullptr;
  p.shot_select = 0;
  p.use_rawspeed = 0;
  p.use_dngsdk = 0;
  p.raw_processing_options = LIBRAW_PROCESSING_DP2Q_INTERPOLATERG |
                             LIBRAW_PROCESSING_DP2Q_INTERPOLATEAF |
                             LIBRAW_PROCESSING_CONVERTFLOAT_TO_INT;
  p.max_raw_memory_mb = kMaxRawMemoryMb;
  p.custom_camera_strings = nullptr;
}

// ---------------------------------------------------------------------------------------------
// LibRaw's OpenMP threads and our parallel conversions: a lone development uses every core, and
// parallel ones share them instead of each starting a full team. OMP_NUM_THREADS, when set,
// is left to rule.

std::atomic<int> runningDevelopments{0};

class DevelopmentSlot {
 public:
  DevelopmentSlot() {
    threads_ = ShareOfCores(++runningDevelopments);
#ifdef _OPENMP
    if (ThreadsGiven()) {
      threads_ = omp_get_max_threads();
    } else {
      omp_set_num_threads(threads_);
    }
#endif
  }
  ~DevelopmentSlot() {
    --runningDevelopments;
  }
  DevelopmentSlot(const DevelopmentSlot&) = delete;
  DevelopmentSlot& operator=(const DevelopmentSlot&) = delete;

  // Threads this development may keep busy (LibRaw's and ours).
  int threads() const {
    return threads_;
  }

  // The same share, taken again now: a development that started beside others may find itself
  // alone once it is decoded (the last frames of a batch), and then uses every core.
  int threadsNow() const {
    return ThreadsGiven() ? threads_ : ShareOfCores(runningDevelopments.load());
  }

 private:
  // The cores, shared evenly by the developments running (this one among them).
  int ShareOfCores(int running) const {
    return std::max(1, cores_ / std::max(1, running));
  }

  static bool ThreadsGiven() {
#ifdef _OPENMP
    static const bool given = std::getenv("OMP_NUM_THREADS") != nullptr;
    return given;
#else
    return false;
#endif
  }

  const int cores_ = UsableCpuCount();
  int threads_ = 1;
};

// ---------------------------------------------------------------------------------------------
// Filling the memory stream.

// Gives the physical pages of [begin, end) back to the system. LibRaw's working picture is read
// once, front to back, while the stream buffer fills; returning what was read keeps the peak at
// the working picture's size instead of working picture plus output.
void ReleasePages(const void* begin, const void* end) {
  static const std::uintptr_t page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const std::uintptr_t first = (reinterpret_cast<std::uintptr_t>(begin) + page - 1) & ~(page - 1);
  const std::uintptr_t last = reinterpret_cast<std::uintptr_t>(end) & ~(page - 1);
  if (last > first) {
    ::madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
  }
}

void CopyReleasingSource(const Rgb16Source& source, const Rgb16Target& target,
                         const TransferTable* curve, int threads) {
  constexpr int kBandRows = 64;
  const int bands = (source.height + kBandRows - 1) / kBandRows;
  // Threads take bands in turn, so that together they move through the source (and through a
  // turned target) as one front: memory is released behind it at the rate it is filled ahead.
  SplitAcrossThreads(threads, threads, [&](int firstThread, int endThread) {
    for (int t = firstThread; t < endThread; ++t) {
      for (int b = t; b < bands; b += threads) {
        const int y0 = b * kBandRows;
        const int rows = std::min(kBandRows, source.height - y0);
        Rgb16Source band = source;
        band.origin += y0 * source.rowStep;
        band.height = rows;
        Rgb16Target out = target;
        out.origin += y0 * target.rowStep;
        out.height = rows;
        CopyRgb16(band, out, curve);
        ReleasePages(band.origin, band.origin + rows * source.rowStep);
      }
    }
  });
}

// ---------------------------------------------------------------------------------------------
// Our develop path: which files it takes, and the frame record it gets. The metadata is taken
// exactly as LibRaw's own rendering (dcraw_process with the settings above) uses it, so that
// both paths give the same colours.

// Colour slot of the photosite at (row, col) of the picture area, LibRaw's packing of a
// pattern of 8 rows x 2 columns in 32 bits.
int FilterColour(unsigned filters, int row, int col) {
  return static_cast<int>(filters >> ((((row << 1) & 14) | (col & 1)) << 1) & 3);
}

// Files whose rendering our path reproduces: three-colour Bayer mosaics in LibRaw's plain raw
// buffer with square pixels, a 2 x 2 pattern, black levels LibRaw folds into four channel
// values, and the camera's white balance as recorded. Anything else (X-Trans, Foveon, sRAW,
// linear DNG, monochrome, Fuji's rotated sensors, old cameras with special corrections) keeps
// LibRaw's own develop. Known after open; the raw buffer itself is checked after unpack.
bool OwnPathCovers(LibRaw& raw) {
  const libraw_iparams_t& id = raw.imgdata.idata;
  const libraw_image_sizes_t& sizes = raw.imgdata.sizes;
  const libraw_colordata_t& colour = raw.imgdata.color;
  if (id.filters <= 1000 || id.colors != 3 || id.is_foveon) return false;
  if (raw.is_fuji_rotated() || raw.is_sraw() || raw.is_floating_point()) return false;
  if (sizes.pixel_aspect != 1.0) return false;
  for (int row = 0; row < 8; ++row) {
    for (int col = 0; col < 2; ++col) {
      if (FilterColour(id.filters, row, col) != FilterColour(id.filters, row & 1, col))
        return false;
    }
  }
  // Black patterns other than one over the 2 x 2 cell are left to LibRaw.
  const bool noPattern = colour.cblack[4] == 0 && colour.cblack[5] == 0;
  const bool cellPattern = colour.cblack[4] >= 1 && colour.cblack[4] <= 2 &&
                           colour.cblack[5] >= 1 && colour.cblack[5] <= 2;
  if (!noPattern && !cellPattern) return false;
  // A camera-specific white table or an automatic white balance changes the multipliers.
  for (const auto& row : colour.white) {
    for (const ushort v : row) {
      if (v != 0) return false;
    }
  }
  if (colour.cam_mul[0] == -1) return false;
  if (colour.as_shot_wb_applied) return false;
  return true;
}

// The frame record of an unpacked file OwnPathCovers accepted, or false when the unpacked data
// is not the plain Bayer buffer after all.
bool FillRawFrame(LibRaw& raw, RawFrame& frame) {
  const libraw_rawdata_t& data = raw.imgdata.rawdata;
  if (data.raw_image == nullptr || data.ioparams.zero_is_bad || data.ioparams.fuji_width) {
    return false;
  }
  // Decoders whose data LibRaw corrects while developing.
  libraw_decoder_info_t decoder{};
  if (raw.get_decoder_info(&decoder) != LIBRAW_SUCCESS || decoder.decoder_name == nullptr ||
      std::strstr(decoder.decoder_name, "phase_one") != nullptr ||
      std::strstr(decoder.decoder_name, "canon_600") != nullptr) {
    return false;
  }
  const libraw_image_sizes_t& sizes = data.sizes;
  const libraw_colordata_t& colour = data.color;
  const unsigned filters = data.iparams.filters;
  frame.mosaic = data.raw_image;
  frame.rawWidth = sizes.raw_width;
  frame.rawHeight = sizes.raw_height;
  frame.pitch = sizes.raw_pitch / 2;
  frame.left = sizes.left_margin;
  frame.top = sizes.top_margin;
  frame.width = sizes.width;
  frame.height = sizes.height;
  for (int p = 0; p < 4; ++p)
    frame.cfa[static_cast<std::size_t>(p)] = FilterColour(filters, p / 2, p % 2);

  // Black per colour slot: the common level, the slot's own, and the 2 x 2 pattern folded onto
  // the slots (the last green of the cell standing for the second green).
  std::array<double, 4> black{};
  for (int c = 0; c < 4; ++c)
    black[static_cast<std::size_t>(c)] = static_cast<double>(colour.black) + colour.cblack[c];
  if (colour.cblack[4] > 0 && colour.cblack[5] > 0) {
    int slots[4];
    int lastGreen = -1, greens = 0;
    for (int p = 0; p < 4; ++p) {
      slots[p] = FilterColour(filters, p / 2, p % 2);
      if (slots[p] == 1) {
        ++greens;
        lastGreen = p;
      }
    }
    if (greens > 1) slots[lastGreen] = 3;
    for (int p = 0; p < 4; ++p) {
      black[static_cast<std::size_t>(slots[p])] +=
          colour.cblack[6 + p / 2 % colour.cblack[4] * colour.cblack[5] + p % 2 % colour.cblack[5]];
    }
  }
  // LibRaw subtracts each level as a 16-bit value.
  for (double& b : black) b = static_cast<unsigned short>(b);
  frame.black = black;
  frame.white = colour.maximum;
  if (frame.white <= *std::min_element(black.begin(), black.end())) return false;

  // The camera's white balance as shot, else the daylight multipliers.
  const bool asShot = colour.cam_mul[0] != 0 && colour.cam_mul[2] != 0;
  for (int c = 0; c < 4; ++c) {
    frame.multiplier[static_cast<std::size_t>(c)] = asShot ? colour.cam_mul[c] : colour.pre_mul[c];
  }
  // Camera RGB to sRGB/Rec.709 primaries; a camera without a known matrix stays in its own.
  if (!data.ioparams.raw_color) {
    for (std::size_t r = 0; r < 3; ++r) {
      for (std::size_t c = 0; c < 3; ++c) frame.cameraToOutput[r][c] = colour.rgb_cam[r][c];
    }
  }
  switch ((sizes.flip + 3600) % 360) {
    case 270:
      frame.flip = 5;
      break;
    case 180:
      frame.flip = 3;
      break;
    case 90:
      frame.flip = 6;
      break;
    default:
      frame.flip = sizes.flip;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Colour choices beyond the as-shot Rec.709 renderings: output space, white balance, exposure
// and highlights. The defaults leave both paths exactly as they were.

struct ColourSettings {
  std::uint8_t colorSpace = kColorSpaceRec709;
  EdsUInt32 whiteBalance = kEdsWhiteBalance_AsShot;
  std::array<double, 3> multipliers{1, 1, 1};
  double exposureStops = 0;
  bool reconstructHighlights = false;
};

// The camera's matrix from white-balanced camera RGB to linear Rec.709, as LibRaw renders with
// it; false where the sensor has no three-colour matrix.
bool CameraMatrix(const LibRaw& raw, Matrix3& matrix) {
  const libraw_colordata_t& colour = raw.imgdata.color;
  if (raw.imgdata.idata.colors != 3) return false;
  for (std::size_t r = 0; r < 3; ++r) {
    for (std::size_t c = 0; c < 3; ++c) matrix[r][c] = colour.rgb_cam[r][c];
  }
  return true;
}

// Red, green and blue with green 1; false where the multipliers are unusable.
bool GreenNormalised(const float* m, std::array<double, 3>& out) {
  if (!(m[0] > 0 && m[1] > 0 && m[2] > 0)) return false;
  for (std::size_t c = 0; c < 3; ++c) out[c] = double{m[c]} / m[1];
  return true;
}

// White balance, exposure, highlights and output primaries on our path's frame record.
void ApplyColourSettings(const LibRaw& raw, const ColourSettings& settings, RawFrame& frame) {
  const libraw_colordata_t& colour = raw.imgdata.color;
  if (settings.whiteBalance == kEdsWhiteBalance_Daylight) {
    // Without daylight multipliers LibRaw develops unbalanced; so does this path.
    std::array<double, 3> daylight{};
    const bool known = GreenNormalised(colour.pre_mul, daylight);
    for (std::size_t c = 0; c < 4; ++c) frame.multiplier[c] = known ? colour.pre_mul[c] : 1.0;
  } else if (settings.whiteBalance == kEdsWhiteBalance_Multipliers) {
    const auto& m = settings.multipliers;
    frame.multiplier = {m[0], m[1], m[2], m[1]};
  }
  frame.exposure = std::exp2(settings.exposureStops);
  frame.reconstructHighlights = settings.reconstructHighlights;
  if (settings.colorSpace > kColorSpaceLinear) {
    const Matrix3 toOutput = Rec709ToOutput(settings.colorSpace);
    Matrix3 camera{};
    for (std::size_t r = 0; r < 3; ++r) {
      for (std::size_t c = 0; c < 3; ++c) camera[r][c] = frame.cameraToOutput[r][c];
    }
    const Matrix3 combined = Multiply(toOutput, camera);
    for (std::size_t r = 0; r < 3; ++r) {
      for (std::size_t c = 0; c < 3; ++c)
        frame.cameraToOutput[r][c] = static_cast<float>(combined[r][c]);
    }
  }
}

// The same choices through LibRaw's own parameters, where it has them: white balance and
// highlight blending (dcraw's -H 2, which fades clipped areas to white without magenta).
// Exposure and the output primaries are applied by TransformLibRawPicture.
void ApplyLibRawColourSettings(const ColourSettings& settings, libraw_output_params_t& p) {
  if (settings.whiteBalance == kEdsWhiteBalance_Daylight) {
    p.use_camera_wb = 0;  // LibRaw then takes the daylight multipliers
  } else if (settings.whiteBalance == kEdsWhiteBalance_Multipliers) {
    p.use_camera_wb = 0;
    const auto& m = settings.multipliers;
    p.user_mul[0] = static_cast<float>(m[0]);
    p.user_mul[1] = static_cast<float>(m[1]);
    p.user_mul[2] = static_cast<float>(m[2]);
    p.user_mul[3] = static_cast<float>(m[1]);
  }
  if (settings.reconstructHighlights) p.highlight = 2;
}

// LibRaw's developed picture (linear Rec.709 in 16 bits) turned into the output primaries and
// scaled by the exposure, in place. Values outside 0..65535 clip, as LibRaw's own do: colours
// beyond Rec.709 are lost on this path.
void TransformLibRawPicture(LibRaw& raw, const ColourSettings& settings, int threads) {
  double gain = std::exp2(settings.exposureStops);
  if (settings.reconstructHighlights) {
    // With highlight recovery LibRaw scales by the largest multiplier instead of the smallest,
    // leaving the picture darker by their ratio (pre_mul holds the multipliers over the
    // largest afterwards): brought back, so that unclipped light keeps its level.
    float smallest = 1;
    for (int c = 0; c < 4; ++c) {
      const float m = raw.imgdata.color.pre_mul[c];
      if (m > 0) smallest = std::min(smallest, m);
    }
    gain /= smallest;
  }
  if (settings.colorSpace <= kColorSpaceLinear && gain == 1) return;
  // A monochrome picture has no primaries to change: only the exposure.
  const bool mono = raw.imgdata.idata.colors == 1;
  const Matrix3 toOutput = mono || settings.colorSpace <= kColorSpaceLinear
                               ? Identity3()
                               : Rec709ToOutput(settings.colorSpace);
  float m[3][3];
  for (std::size_t r = 0; r < 3; ++r) {
    for (std::size_t c = 0; c < 3; ++c) m[r][c] = static_cast<float>(toOutput[r][c] * gain);
  }
  const libraw_image_sizes_t& sizes = raw.imgdata.sizes;
  ushort(*picture)[4] = raw.imgdata.image;
  if (picture == nullptr) return;
  const std::int64_t pixels = std::int64_t{sizes.width} * sizes.height;
  SplitAcrossThreads(threads, threads, [&](int first, int end) {
    const std::int64_t begin = pixels * first / threads, stop = pixels * end / threads;
    for (std::int64_t i = begin; i < stop; ++i) {
      ushort* px = picture[i];
      if (mono) {
        px[0] = static_cast<ushort>(std::clamp(px[0] * m[0][0] + 0.5f, 0.0f, 65535.0f));
        continue;
      }
      const float r = px[0], g = px[1], b = px[2];
      for (std::size_t c = 0; c < 3; ++c) {
        const float v = m[c][0] * r + m[c][1] * g + m[c][2] * b;
        px[c] = static_cast<ushort>(std::clamp(v + 0.5f, 0.0f, 65535.0f));
      }
    }
  });
}

// ---------------------------------------------------------------------------------------------
// Our CR2 decoder in place of LibRaw's unpack, for the files our develop path takes.

// Set only by tests and benchmarks: LibRaw's unpack decodes every file, so that both decoders
// can be compared on whole conversions.
bool LibRawUnpackRequested() {
  const char* value = std::getenv("TARN_LIBRAW_UNPACK");
  return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
}

// Canon CR2 sensor data that LibRaw would read with its lossless-JPEG loader and store unchanged
// (identity curve, rows in file order). Our decoder still has the final word on the stream.
bool OwnDecoderCovers(LibRaw& raw) {
  const libraw_iparams_t& id = raw.imgdata.idata;
  if (id.maker_index != LIBRAW_CAMERAMAKER_Canon || std::strcmp(id.make, "Canon") != 0) {
    return false;
  }
  libraw_decoder_info_t decoder{};
  if (raw.get_decoder_info(&decoder) != LIBRAW_SUCCESS || decoder.decoder_name == nullptr ||
      std::strcmp(decoder.decoder_name, "lossless_jpeg_load_raw()") != 0) {
    return false;
  }
  const libraw_internal_data_t& internal = *raw.get_internal_data_pointer();
  if (internal.unpacker_data.load_flags & 1) return false;  // interlaced rows
  if (internal.internal_output_params.zero_is_bad || internal.internal_output_params.fuji_width) {
    return false;
  }
  if (raw.imgdata.params.shot_select != 0) return false;
  const ushort* curve = raw.imgdata.color.curve;
  for (unsigned v = 0; v < 0x10000; ++v) {
    if (curve[v] != v) return false;
  }
  const libraw_image_sizes_t& sizes = raw.imgdata.sizes;
  return sizes.raw_width > 0 && sizes.raw_height > 0 &&
         sizes.left_margin + sizes.width <= sizes.raw_width &&
         sizes.top_margin + sizes.height <= sizes.raw_height;
}

// LibRaw's lossless-JPEG loader divides by the strip widths of tag 0xC640 unchecked: a damaged
// tag with a strip of no width would end the whole process.
bool StripWidthsUsable(LibRaw& raw) {
  libraw_decoder_info_t decoder{};
  if (raw.get_decoder_info(&decoder) != LIBRAW_SUCCESS || decoder.decoder_name == nullptr ||
      std::strcmp(decoder.decoder_name, "lossless_jpeg_load_raw()") != 0) {
    return true;
  }
  const ushort* slice = raw.get_internal_data_pointer()->unpacker_data.cr2_slice;
  return slice[0] == 0 || (slice[1] != 0 && slice[2] != 0);
}

// What LibRaw's unpack computes from the sensor data besides the samples: the black levels,
// measured on the masked border. Kept so that a file LibRaw must unpack after all starts from
// the state open left.
struct UnpackMetadata {
  int mask[8][4];
  unsigned black;
  unsigned cblack[LIBRAW_CBLACK_SIZE];
  unsigned blackStat[8];

  void SaveFrom(const LibRaw& raw) {
    std::memcpy(mask, raw.imgdata.sizes.mask, sizeof mask);
    black = raw.imgdata.color.black;
    std::memcpy(cblack, raw.imgdata.color.cblack, sizeof cblack);
    std::memcpy(blackStat, raw.imgdata.color.black_stat, sizeof blackStat);
  }
  void RestoreTo(LibRaw& raw) const {
    std::memcpy(raw.imgdata.sizes.mask, mask, sizeof mask);
    raw.imgdata.color.black = black;
    std::memcpy(raw.imgdata.color.cblack, cblack, sizeof cblack);
    std::memcpy(raw.imgdata.color.black_stat, blackStat, sizeof blackStat);
    raw.imgdata.rawdata.raw_image = nullptr;  // pointed into our mosaic
  }
};

// The black levels of a lossless-JPEG Canon file from its decoded mosaic, exactly as LibRaw's
// unpack derives them (same border areas, same 32-bit sums and integer divisions), so that the
// develop that follows sees the numbers it would see after unpack.
void MeasureMaskedBlack(LibRaw& raw, const std::uint16_t* mosaic) {
  libraw_image_sizes_t& sizes = raw.imgdata.sizes;
  libraw_colordata_t& colour = raw.imgdata.color;
  auto& mask = sizes.mask;
  const int rawWidth = sizes.raw_width;
  const int rawHeight = sizes.raw_height;
  // Areas the identification gave are used as they stand; otherwise the columns left and right
  // of the picture, two columns away from it.
  if (mask[0][3] <= 0) {
    mask[0][1] = mask[1][1] += 2;
    mask[0][3] -= 2;
    mask[0][0] = mask[1][0] = sizes.top_margin;
    mask[0][2] = mask[1][2] = sizes.top_margin + sizes.height;
    mask[0][3] += sizes.left_margin;
    mask[1][1] += sizes.left_margin + sizes.width;
    mask[1][3] += rawWidth;
  }
  unsigned* stat = colour.black_stat;  // sums of slots 0-3, then their counts
  std::fill(stat, stat + 8, 0u);
  unsigned zeros = 0;
  const unsigned filters = raw.imgdata.idata.filters;
  for (const auto& area : mask) {
    for (int row = std::max(area[0], 0); row < std::min(area[2], rawHeight); ++row) {
      const std::uint16_t* line = mosaic + std::size_t(row) * std::size_t(rawWidth);
      for (int col = std::max(area[1], 0); col < std::min(area[3], rawWidth); ++col) {
        const int slot = FilterColour(filters, row, col);
        stat[slot] += line[col];
        ++stat[4 + slot];
        zeros += line[col] == 0;
      }
    }
  }
  if (zeros < stat[4] && stat[5] != 0 && stat[6] != 0 && stat[7] != 0) {
    for (int c = 0; c < 4; ++c) colour.cblack[c] = stat[c] / std::max(1u, stat[4 + c]);
    colour.black = colour.cblack[4] = colour.cblack[5] = colour.cblack[6] = 0;
  }
  // The common part of the four levels moves into the single one.
  unsigned common = colour.cblack[3];
  for (int c = 0; c < 3; ++c) common = std::min(common, colour.cblack[c]);
  for (int c = 0; c < 4; ++c) colour.cblack[c] -= common;
  colour.black += common;
}

// Reads the whole file into bytes (at least the file's size); returns how many it holds (fewer
// when the file shrank).
std::size_t ReadWholeFile(const InputFile& file, std::span<std::byte> bytes) {
  const std::size_t size = std::min(static_cast<std::size_t>(file.size()), bytes.size());
  auto* out = reinterpret_cast<char*>(bytes.data());
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pread(file.fd(), out + done, size - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw EosError(EDS_ERR_FILE_READ_ERROR);
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

// Decodes the sensor data of a file OwnDecoderCovers accepted into mosaic and leaves LibRaw's
// records as its unpack would (raw_image pointing into mosaic, which the caller keeps alive
// while LibRaw's records are used). False, with nothing changed, when the stream is not one our
// decoder takes or does not have the size LibRaw expects: unpack then reads it. Damaged data
// throws Cr2DataError (0000002D).
//
// output is the memory the developed picture goes to, not yet written: the file's bytes are
// read into it when they fit, since they are spent before the picture is developed (one set of
// fresh pages less). With warm set, a helper thread maps the pages of the mosaic and of the
// output meanwhile, so that the tiles after the decode find them in place.
bool DecodeWithOwnDecoder(LibRaw& raw, const InputFile& file, HugePageBuffer& mosaic,
                          std::span<std::byte> output, bool warm) {
  libraw_image_sizes_t& sizes = raw.imgdata.sizes;
  const std::size_t samples = std::size_t{sizes.raw_width} * std::size_t{sizes.raw_height};
  mosaic = TakeSpareBuffer(samples * sizeof(std::uint16_t));
  const auto fileSize = static_cast<std::size_t>(file.size());
  struct Spare {
    HugePageBuffer buffer;
    ~Spare() { KeepSpareBuffer(std::move(buffer)); }
  } fileBuffer;
  std::span<std::byte> fileBytes = output;
  if (fileSize > output.size()) {
    fileBuffer.buffer = TakeSpareBuffer(fileSize);
    fileBytes = {static_cast<std::byte*>(fileBuffer.buffer.data()), fileSize};
  }
  std::optional<PageWarmer> warmer;
  if (warm) {
    warmer.emplace(std::vector{
        std::span(static_cast<std::byte*>(mosaic.data()), samples * sizeof(std::uint16_t)),
        output});
  }
  const std::size_t length = ReadWholeFile(file, fileBytes);
  const std::optional<Cr2Image> image =
      Cr2Image::Parse({reinterpret_cast<const std::uint8_t*>(fileBytes.data()), length});
  if (!image || image->width() != sizes.raw_width || image->height() != sizes.raw_height) {
    return false;
  }
  auto* mosaicSamples = static_cast<std::uint16_t*>(mosaic.data());
  image->Decode({mosaicSamples, image->sampleCount()});

  MeasureMaskedBlack(raw, mosaicSamples);
  if (sizes.raw_pitch == 0) sizes.raw_pitch = static_cast<unsigned>(sizes.raw_width) * 2;
  libraw_rawdata_t& data = raw.imgdata.rawdata;
  data.raw_image = mosaicSamples;  // not LibRaw's to free: raw_alloc stays empty
  data.sizes = sizes;
  data.color = raw.imgdata.color;
  data.iparams = raw.imgdata.idata;
  data.ioparams = raw.get_internal_data_pointer()->internal_output_params;
  return true;
}

// ---------------------------------------------------------------------------------------------
// SDK objects.

enum class Kind { FileStream, Image, MemoryStream };

struct SdkObject {
  explicit SdkObject(Kind k) : kind(k) {}
  virtual ~SdkObject() = default;
  const Kind kind;
  std::mutex mutex;  // one call at a time per object
};

struct FileStreamObject final : SdkObject {
  explicit FileStreamObject(std::shared_ptr<InputFile> f)
      : SdkObject(Kind::FileStream), file(std::move(f)) {}
  std::shared_ptr<InputFile> file;
};

struct MemoryStreamObject final : SdkObject {
  explicit MemoryStreamObject(std::size_t bytes)
      : SdkObject(Kind::MemoryStream), data(TakeSpareBuffer(bytes)) {}
  // The buffer serves the next stream, its pages already in place.
  ~MemoryStreamObject() override { KeepSpareBuffer(std::move(data)); }
  // Mapped, not zero-filled: untouched pages cost nothing, and the pages the picture fills are
  // huge ones where the system has them (a fraction of the first-touch cost).
  HugePageBuffer data;
  std::uint64_t capacity = 0;
  std::uint64_t length = 0;  // bytes of developed data
  EdsProgressCallback progress = nullptr;
  EdsProgressOption progressOption = kEdsProgressOption_NoReport;
  EdsVoid* progressContext = nullptr;
};

EdsError LibRawCode(int code, bool opening, int readError) {
  switch (code) {
    case LIBRAW_SUCCESS:
      return EDS_ERR_OK;
    case LIBRAW_FILE_UNSUPPORTED:
    case LIBRAW_UNSPECIFIED_ERROR:
      return opening ? EDS_ERR_FILE_FORMAT_UNRECOGNIZED : EDS_ERR_NOT_SUPPORTED;
    case LIBRAW_REQUEST_FOR_NONEXISTENT_IMAGE:
    case LIBRAW_NOT_IMPLEMENTED:
      return EDS_ERR_NOT_SUPPORTED;
    case LIBRAW_UNSUFFICIENT_MEMORY:
    case LIBRAW_TOO_BIG:
      return EDS_ERR_MEM_ALLOC_FAILED;
    case LIBRAW_IO_ERROR:
      return readError != 0 ? EDS_ERR_FILE_READ_ERROR : EDS_ERR_FILE_DATA_CORRUPT;
    case LIBRAW_DATA_ERROR:
    case LIBRAW_MEMPOOL_OVERFLOW:
      return EDS_ERR_FILE_DATA_CORRUPT;
    default:
      return EDS_ERR_INTERNAL_ERROR;
  }
}

class ImageObject final : public SdkObject {
 public:
  explicit ImageObject(std::shared_ptr<InputFile> f)
      : SdkObject(Kind::Image), file_(std::move(f)) {}

  // Reads the file's metadata (no picture data) and checks that it is worth developing.
  EdsError Open() {
    StageClock clock;
    raw_.reset();
    ReleaseMosaic();
    stream_ = std::make_unique<FileDataStream>(file_);
    raw_ = std::make_unique<LibRaw>(LIBRAW_OPTIONS_NONE);
    dataError_ = false;
    raw_->set_dataerror_handler(&ImageObject::OnDataError, this);
    raw_->set_memerror_handler(&ImageObject::OnMemoryError, this);
    ConfigureLibRaw(raw_->imgdata.params, false);

    if (const EdsError error = Checked(raw_->open_datastream(stream_.get()), true)) return error;

    libraw_decoder_info_t decoder{};
    if (raw_->get_decoder_info(&decoder) != LIBRAW_SUCCESS ||
        (decoder.decoder_flags & LIBRAW_DECODER_NOTSET)) {
      return EDS_ERR_NOT_SUPPORTED;
    }
    const libraw_image_sizes_t& sizes = raw_->imgdata.sizes;
    const std::int64_t sensorPixels = std::int64_t{sizes.raw_width} * sizes.raw_height;
    const std::int64_t visiblePixels = std::int64_t{sizes.width} * sizes.height;
    if (visiblePixels <= 0) return EDS_ERR_FILE_DATA_CORRUPT;
    if (std::max(sensorPixels, visiblePixels) > kMaxPixels) return EDS_ERR_MEM_ALLOC_FAILED;
    if (file_->size() * kMaxPixelsPerFileByte < sensorPixels) return EDS_ERR_FILE_DATA_CORRUPT;

    int width = 0, height = 0, colors = 0, bps = 0;
    raw_->get_mem_image_format(&width, &height, &colors, &bps);
    if (width <= 0 || height <= 0) return EDS_ERR_FILE_DATA_CORRUPT;
    fullWidth_ = width;
    fullHeight_ = height;
    covered_ = OwnPathCovers(*raw_);
    open_ = true;
    if (ProfilingOn()) {
      std::fprintf(stderr, "tarn-profile: %s open %.1f ms\n", file_->path().c_str(), clock.Lap());
    }
    return EDS_ERR_OK;
  }

  EdsError EnsureOpen() { return open_ ? EDS_ERR_OK : Open(); }

  int fullWidth() const { return fullWidth_; }
  int fullHeight() const { return fullHeight_; }
  void setLinear(bool linear) { linear_ = linear; }
  ColourSettings& colour() { return colour_; }
  // The output space: the colour-space property where set, else the linear switch.
  std::uint8_t colorSpace() const {
    if (colour_.colorSpace != kColorSpaceRec709) return colour_.colorSpace;
    return linear_ ? kColorSpaceLinear : kColorSpaceRec709;
  }
  void setForceLibRaw(bool force) { forceLibRaw_ = force; }
  // The path Develop takes; a file our path takes after open may still turn out, once
  // unpacked, to need LibRaw's (it then takes that one, silently).
  EdsUInt32 developPath() const {
    return covered_ && !forceLibRaw_ ? kEdsDevelopPath_Own : kEdsDevelopPath_LibRaw;
  }

  // Red, green and blue multipliers with green 1: as recorded, else the daylight balance.
  EdsError AsShotWhiteBalance(std::array<double, 3>& multipliers) {
    if (const EdsError error = EnsureOpen()) return error;
    const libraw_colordata_t& colour = raw_->imgdata.color;
    if (!GreenNormalised(colour.cam_mul, multipliers) &&
        !GreenNormalised(colour.pre_mul, multipliers)) {
      multipliers = {1, 1, 1};
    }
    return EDS_ERR_OK;
  }

  EdsError DaylightWhiteBalance(std::array<double, 3>& multipliers) {
    if (const EdsError error = EnsureOpen()) return error;
    if (!GreenNormalised(raw_->imgdata.color.pre_mul, multipliers)) multipliers = {1, 1, 1};
    return EDS_ERR_OK;
  }

  EdsError CameraMatrix(Matrix3& matrix) {
    if (const EdsError error = EnsureOpen()) return error;
    return ::CameraMatrix(*raw_, matrix) ? EDS_ERR_OK : EDS_ERR_PROPERTIES_UNAVAILABLE;
  }

  // Develops the whole picture at width x height into out (width * height * 6 bytes). rowsDone:
  // see DevelopBayer.
  EdsError Develop(int width, int height, std::uint16_t* out, const RowsDone& rowsDone) {
    if (const EdsError error = EnsureOpen()) return error;
    // Whatever happens next leaves LibRaw spent (recycled after success, and after most
    // failures); another develop starts from a fresh open.
    open_ = false;
    StageClock clock;
    // LibRaw's path may develop at half size (see DevelopWithLibRaw); ours never does.
    ConfigureLibRaw(raw_->imgdata.params, developPath() == kEdsDevelopPath_LibRaw &&
                                              2 * width <= fullWidth_ && 2 * height <= fullHeight_);
    DevelopmentSlot slot;
    UnpackMetadata opened;
    opened.SaveFrom(*raw_);
    bool ownDecoder = false;
    const std::span output(
        reinterpret_cast<std::byte*>(out),
        std::size_t{6} * static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    if (const EdsError error = ReadSensorData(ownDecoder, output, slot.threads() > 1)) {
      return error;
    }
    const double unpackMs = clock.Lap();
    RawFrame frame;
    if (developPath() == kEdsDevelopPath_Own) {
      if (FillRawFrame(*raw_, frame)) {
        ApplyColourSettings(*raw_, colour_, frame);
        const TransferTable* curve = OutputCurve(colorSpace());
        DevelopTimes times;
        const int threads = slot.threadsNow();
        DevelopBayer(frame, out, width, height, curve, threads, &times, rowsDone);
        raw_->recycle();
        ReleaseMosaic();
        if (ProfilingOn()) {
          std::fprintf(stderr,
                       "tarn-profile: %s %s %.1f ms, tiles %.1f ms, resample %.1f ms "
                       "(own path, %d threads)\n",
                       file_->path().c_str(), ownDecoder ? "decode" : "unpack", unpackMs,
                       times.tiles, times.resample, threads);
        }
        return EDS_ERR_OK;
      }
      if (ownDecoder) {
        // Records our develop does not take: LibRaw's develop needs its own unpack.
        opened.RestoreTo(*raw_);
        ReleaseMosaic();
        if (const EdsError error = UnpackWithLibRaw()) return error;
      }
    }
    return DevelopWithLibRaw(width, height, out, slot, unpackMs);
  }

 private:
  // Brings the sensor data into LibRaw's records: our decoder for the CR2 files it covers when
  // our develop follows, LibRaw's unpack for everything else (and for what our decoder turns
  // down). ownDecoder tells which one did. output and warm: see DecodeWithOwnDecoder.
  EdsError ReadSensorData(bool& ownDecoder, std::span<std::byte> output, bool warm) {
    ownDecoder = false;
    if (developPath() == kEdsDevelopPath_Own && !LibRawUnpackRequested() &&
        OwnDecoderCovers(*raw_)) {
      try {
        ownDecoder = DecodeWithOwnDecoder(*raw_, *file_, mosaic_, output, warm);
      } catch (const EosError& error) {
        ReleaseMosaic();
        return error.code();
      }
      if (ownDecoder) return EDS_ERR_OK;
      ReleaseMosaic();
    }
    return UnpackWithLibRaw();
  }

  // The mosaic's memory serves the next frame's decode.
  void ReleaseMosaic() { KeepSpareBuffer(std::move(mosaic_)); }

  EdsError UnpackWithLibRaw() {
    if (!StripWidthsUsable(*raw_)) return EDS_ERR_FILE_DATA_CORRUPT;
    stream_->ExpectPictureData();
    return Checked(raw_->unpack(), false);
  }

  // LibRaw's own develop (AHD) of the unpacked picture, then the copy or scaling into out.
  EdsError DevelopWithLibRaw(int width, int height, std::uint16_t* out, DevelopmentSlot& slot,
                             double unpackMs) {
    StageClock clock;
    double developMs = 0, resampleMs = 0, copyMs = 0;

    // At half the size or less, LibRaw's half-size mode (one pixel per 2x2 cell, no demosaic)
    // still has more pixels than the target, at a quarter of the cost.
    const bool halfSize = 2 * width <= fullWidth_ && 2 * height <= fullHeight_;
    ConfigureLibRaw(raw_->imgdata.params, halfSize);
    ApplyLibRawColourSettings(colour_, raw_->imgdata.params);
    if (const EdsError error = Checked(raw_->dcraw_process(), false)) return error;
    ColourSettings colour = colour_;
    colour.colorSpace = colorSpace();
    TransformLibRawPicture(*raw_, colour, slot.threads());
    developMs = clock.Lap();

    const libraw_image_sizes_t& sizes = raw_->imgdata.sizes;
    ushort(*picture)[4] = raw_->imgdata.image;
    if (picture == nullptr || sizes.width == 0 || sizes.height == 0) return EDS_ERR_INTERNAL_ERROR;
    Rgb16Source source;
    source.origin = &picture[0][0];
    source.width = sizes.width;
    source.height = sizes.height;
    source.pixelStep = 4;
    source.rowStep = 4 * std::ptrdiff_t{sizes.width};
    if (raw_->imgdata.idata.colors == 1) source.channel = {0, 0, 0};

    // The target seen in the picture's own orientation.
    const int flip = sizes.flip;
    const int targetWidth = (flip & 4) ? height : width;
    const int targetHeight = (flip & 4) ? width : height;
    const Rgb16Target target = FlippedTarget(out, targetWidth, targetHeight, flip);
    const TransferTable* curve = OutputCurve(colorSpace());
    if (targetWidth == source.width && targetHeight == source.height) {
      CopyReleasingSource(source, target, curve, slot.threads());
      copyMs = clock.Lap();
    } else {
      ResampleRgb16(source, target, curve, slot.threads());
      resampleMs = clock.Lap();
    }

    // The picture has been handed over: give LibRaw's buffers back now rather than when the
    // image is released, after the caller has written the file. Another develop reopens.
    raw_->recycle();
    if (ProfilingOn()) {
      std::fprintf(stderr,
                   "tarn-profile: %s unpack %.1f ms, develop %.1f ms%s, resample %.1f ms, "
                   "copy+curve %.1f ms\n",
                   file_->path().c_str(), unpackMs, developMs, halfSize ? " (half size)" : "",
                   resampleMs, copyMs);
    }
    return EDS_ERR_OK;
  }

  EdsError Checked(int code, bool opening) {
    if (dataError_ || stream_->pictureDataMissing()) return EDS_ERR_FILE_DATA_CORRUPT;
    return LibRawCode(code, opening, stream_->readError());
  }

  static void OnDataError(void* self, const char* /*file*/, const int /*offset*/) {
    static_cast<ImageObject*>(self)->dataError_ = true;
  }
  // LibRaw fails the call itself (LIBRAW_UNSUFFICIENT_MEMORY); this only keeps it quiet.
  static void OnMemoryError(void* /*self*/, const char* /*file*/, const char* /*where*/) {}

  std::shared_ptr<InputFile> file_;
  std::unique_ptr<FileDataStream> stream_;  // outlives raw_, which reads through it
  // The sensor data our decoder read; LibRaw's records point into it, so it outlives raw_.
  HugePageBuffer mosaic_;
  std::unique_ptr<LibRaw> raw_;
  bool open_ = false;
  bool dataError_ = false;
  bool linear_ = false;
  ColourSettings colour_;
  bool forceLibRaw_ = false;
  bool covered_ = false;  // by our develop path, as far as the metadata tells
  int fullWidth_ = 0;
  int fullHeight_ = 0;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Handles: numbers never reused, so a released or forged reference is always recognised.

class LibRawBackend::Registry {
 public:
  EdsBaseRef Add(std::shared_ptr<SdkObject> object) {
    std::lock_guard lock(mutex_);
    const std::uintptr_t id = nextId_++;
    objects_.emplace(id, std::move(object));
    return reinterpret_cast<EdsBaseRef>(id);
  }

  template <typename T>
  std::shared_ptr<T> Find(EdsBaseRef ref, Kind kind) {
    std::lock_guard lock(mutex_);
    const auto it = objects_.find(reinterpret_cast<std::uintptr_t>(ref));
    if (it == objects_.end() || it->second->kind != kind) return nullptr;
    return std::static_pointer_cast<T>(it->second);
  }

  bool Remove(EdsBaseRef ref) {
    std::shared_ptr<SdkObject> doomed;  // destroyed outside the lock
    std::lock_guard lock(mutex_);
    const auto it = objects_.find(reinterpret_cast<std::uintptr_t>(ref));
    if (it == objects_.end()) return false;
    doomed = std::move(it->second);
    objects_.erase(it);
    return true;
  }

  void Clear() {
    std::unordered_map<std::uintptr_t, std::shared_ptr<SdkObject>> doomed;
    std::lock_guard lock(mutex_);
    doomed.swap(objects_);
  }

 private:
  std::mutex mutex_;
  std::uintptr_t nextId_ = 0x1000;
  std::unordered_map<std::uintptr_t, std::shared_ptr<SdkObject>> objects_;
};

namespace {

// The SDK's calls report failures as codes; nothing may escape as an exception.
template <typename Body>
EdsError Guarded(Body&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return EDS_ERR_MEM_ALLOC_FAILED;
  } catch (...) {
    return EDS_ERR_INTERNAL_ERROR;
  }
}

}  // namespace

LibRawBackend::LibRawBackend() : registry_(std::make_unique<Registry>()) {}
LibRawBackend::~LibRawBackend() = default;

EdsError LibRawBackend::InitializeSDK() {
  return EDS_ERR_OK;
}

EdsError LibRawBackend::TerminateSDK() {
  registry_->Clear();
  return EDS_ERR_OK;
}

EdsError LibRawBackend::CreateFileStream(const char* fileName, EdsFileCreateDisposition disposition,
                                         EdsAccess access, EdsStreamRef* outStream) {
  if (fileName == nullptr || outStream == nullptr) return EDS_ERR_INVALID_PARAMETER;
  // Only reading an existing file is offered: the RAW file is never written.
  if (disposition != kEdsFileCreateDisposition_OpenExisting || access != kEdsAccess_Read) {
    return EDS_ERR_INVALID_PARAMETER;
  }
  return Guarded([&] {
    auto file = std::make_shared<InputFile>(fileName);
    if (const EdsError error = file->error()) return error;
    *outStream = registry_->Add(std::make_shared<FileStreamObject>(std::move(file)));
    return EDS_ERR_OK;
  });
}

EdsError LibRawBackend::CreateImageRef(EdsStreamRef stream, EdsImageRef* outImage) {
  const auto fileStream = registry_->Find<FileStreamObject>(stream, Kind::FileStream);
  if (!fileStream) return EDS_ERR_INVALID_HANDLE;
  if (outImage == nullptr) return EDS_ERR_INVALID_PARAMETER;
  return Guarded([&] {
    auto image = std::make_shared<ImageObject>(fileStream->file);
    if (const EdsError error = image->Open()) return error;
    *outImage = registry_->Add(std::move(image));
    return EDS_ERR_OK;
  });
}

namespace {

// The colour properties, or nullopt for any other property.
std::optional<EdsError> SetColourProperty(ImageObject& image, EdsPropertyID property,
                                          EdsInt32 param, EdsUInt32 dataSize, const void* data) {
  const bool word = property == kEdsPropID_ColorSpace || property == kEdsPropID_WhiteBalance ||
                    property == kEdsPropID_Highlights;
  const bool doubles =
      property == kEdsPropID_WhiteBalanceMultipliers || property == kEdsPropID_ExposureStops;
  if (!word && !doubles) return std::nullopt;
  const EdsUInt32 wanted = property == kEdsPropID_WhiteBalanceMultipliers ? 3 * sizeof(double)
                           : doubles                                      ? sizeof(double)
                                                                          : sizeof(EdsUInt32);
  if (param != 0 || dataSize != wanted) return EDS_ERR_PROPERTIES_UNAVAILABLE;
  if (data == nullptr) return EDS_ERR_INVALID_PARAMETER;
  std::lock_guard lock(image.mutex);
  ColourSettings& colour = image.colour();
  if (word) {
    EdsUInt32 value;
    std::memcpy(&value, data, sizeof value);
    const EdsUInt32 limit = property == kEdsPropID_ColorSpace     ? kColorSpaceCount - 1
                            : property == kEdsPropID_WhiteBalance ? kEdsWhiteBalance_Multipliers
                                                                  : 1;
    if (value > limit) return EDS_ERR_PROPERTIES_UNAVAILABLE;
    if (property == kEdsPropID_ColorSpace) colour.colorSpace = static_cast<std::uint8_t>(value);
    if (property == kEdsPropID_WhiteBalance) colour.whiteBalance = value;
    if (property == kEdsPropID_Highlights) colour.reconstructHighlights = value == 1;
    return EDS_ERR_OK;
  }
  if (property == kEdsPropID_ExposureStops) {
    double stops;
    std::memcpy(&stops, data, sizeof stops);
    if (!(std::fabs(stops) <= kMaxExposureStops)) return EDS_ERR_PROPERTIES_UNAVAILABLE;
    colour.exposureStops = stops;
    return EDS_ERR_OK;
  }
  std::array<double, 3> m;
  std::memcpy(m.data(), data, sizeof m);
  for (const double v : m) {
    if (!(v > 0 && v < 1e6)) return EDS_ERR_PROPERTIES_UNAVAILABLE;
  }
  colour.multipliers = m;
  return EDS_ERR_OK;
}

}  // namespace

EdsError LibRawBackend::SetPropertyData(EdsBaseRef ref, EdsPropertyID property, EdsInt32 param,
                                        EdsUInt32 dataSize, const void* data) {
  const auto image = registry_->Find<ImageObject>(ref, Kind::Image);
  if (!image) return EDS_ERR_INVALID_HANDLE;
  if (const auto colour = SetColourProperty(*image, property, param, dataSize, data)) {
    return *colour;
  }
  if ((property != kEdsPropID_LinearRendering && property != kEdsPropID_DevelopPath) ||
      param != 0 || dataSize != sizeof(EdsUInt32)) {
    return EDS_ERR_PROPERTIES_UNAVAILABLE;
  }
  if (data == nullptr) return EDS_ERR_INVALID_PARAMETER;
  EdsUInt32 value;
  std::memcpy(&value, data, sizeof value);
  if (value > 1) return EDS_ERR_PROPERTIES_UNAVAILABLE;
  std::lock_guard lock(image->mutex);
  if (property == kEdsPropID_LinearRendering) {
    image->setLinear(value == 1);
  } else {
    image->setForceLibRaw(value == kEdsDevelopPath_LibRaw);
  }
  return EDS_ERR_OK;
}

EdsError LibRawBackend::GetPropertyData(EdsBaseRef ref, EdsPropertyID property, EdsInt32 param,
                                        EdsUInt32 dataSize, void* data) {
  const auto image = registry_->Find<ImageObject>(ref, Kind::Image);
  if (!image) return EDS_ERR_INVALID_HANDLE;
  if ((property == kEdsPropID_AsShotWhiteBalance || property == kEdsPropID_DaylightWhiteBalance) &&
      param == 0 && dataSize == 3 * sizeof(double)) {
    if (data == nullptr) return EDS_ERR_INVALID_PARAMETER;
    std::lock_guard lock(image->mutex);
    std::array<double, 3> multipliers{};
    const EdsError error = property == kEdsPropID_AsShotWhiteBalance
                               ? image->AsShotWhiteBalance(multipliers)
                               : image->DaylightWhiteBalance(multipliers);
    if (error != EDS_ERR_OK) return error;
    std::memcpy(data, multipliers.data(), dataSize);
    return EDS_ERR_OK;
  }
  if (property == kEdsPropID_CameraMatrix && param == 0 && dataSize == 9 * sizeof(double)) {
    if (data == nullptr) return EDS_ERR_INVALID_PARAMETER;
    std::lock_guard lock(image->mutex);
    Matrix3 matrix{};
    if (const EdsError error = image->CameraMatrix(matrix)) return error;
    std::memcpy(data, matrix.data(), dataSize);
    return EDS_ERR_OK;
  }
  if (property != kEdsPropID_DevelopPath || param != 0 || dataSize != sizeof(EdsUInt32)) {
    return EDS_ERR_PROPERTIES_UNAVAILABLE;
  }
  if (data == nullptr) return EDS_ERR_INVALID_PARAMETER;
  std::lock_guard lock(image->mutex);
  const EdsUInt32 value = image->developPath();
  std::memcpy(data, &value, sizeof value);
  return EDS_ERR_OK;
}

EdsError LibRawBackend::GetImageInfo(EdsImageRef ref, EdsImageSource source,
                                     EdsImageInfo* outInfo) {
  const auto image = registry_->Find<ImageObject>(ref, Kind::Image);
  if (!image) return EDS_ERR_INVALID_HANDLE;
  if (source != kEdsImageSrc_FullView || outInfo == nullptr) return EDS_ERR_INVALID_PARAMETER;
  std::lock_guard lock(image->mutex);
  *outInfo = EdsImageInfo{};
  outInfo->width = static_cast<EdsUInt32>(image->fullWidth());
  outInfo->height = static_cast<EdsUInt32>(image->fullHeight());
  outInfo->numOfComponents = 3;
  outInfo->componentDepth = 16;
  outInfo->effectiveRect = {0, 0, image->fullWidth(), image->fullHeight()};
  return EDS_ERR_OK;
}

EdsError LibRawBackend::CreateMemoryStream(EdsUInt64 bufferSize, EdsStreamRef* outStream) {
  if (bufferSize == 0 || outStream == nullptr) return EDS_ERR_INVALID_PARAMETER;
  // No picture this backend develops needs more; don't even ask the allocator.
  if (bufferSize > static_cast<EdsUInt64>(kMaxPixels) * 6) return EDS_ERR_MEM_ALLOC_FAILED;
  return Guarded([&] {
    auto stream = std::make_shared<MemoryStreamObject>(static_cast<std::size_t>(bufferSize));
    stream->capacity = bufferSize;
    *outStream = registry_->Add(std::move(stream));
    return EDS_ERR_OK;
  });
}

EdsError LibRawBackend::GetImage(EdsImageRef imageRef, EdsImageSource source,
                                 EdsTargetImageType imageType, EdsRect sourceRect, EdsSize destSize,
                                 EdsStreamRef outStream) {
  const auto image = registry_->Find<ImageObject>(imageRef, Kind::Image);
  const auto stream = registry_->Find<MemoryStreamObject>(outStream, Kind::MemoryStream);
  if (!image || !stream) return EDS_ERR_INVALID_HANDLE;
  if (source != kEdsImageSrc_RAWFullView || imageType != kEdsTargetImageType_RGB16) {
    return EDS_ERR_INVALID_PARAMETER;
  }
  std::scoped_lock lock(image->mutex, stream->mutex);
  if (sourceRect.x != 0 || sourceRect.y != 0 || sourceRect.width != image->fullWidth() ||
      sourceRect.height != image->fullHeight()) {
    return EDS_ERR_INVALID_PARAMETER;
  }
  if (destSize.width <= 0 || destSize.height <= 0) return EDS_ERR_INVALID_PARAMETER;
  const std::uint64_t bytes =
      static_cast<std::uint64_t>(destSize.width) * static_cast<std::uint64_t>(destSize.height) * 6;
  if (bytes > stream->capacity) return EDS_ERR_INVALID_PARAMETER;
  // Percent of the stream final so far; the develop reports whole rows from the top.
  EdsUInt32 reported = 0;
  const auto report = [&](EdsUInt32 percent) {
    if (percent <= reported) return;
    reported = percent;
    EdsBool cancel = 0;
    stream->progress(percent, stream->progressContext, &cancel);
  };
  RowsDone rowsDone;
  if (stream->progress != nullptr && stream->progressOption == kEdsProgressOption_Periodically) {
    rowsDone = [&report, height = destSize.height](int rows) {
      report(static_cast<EdsUInt32>(std::int64_t{rows} * 100 / height));
    };
  }
  return Guarded([&] {
    stream->length = 0;
    const EdsError error =
        image->Develop(destSize.width, destSize.height,
                       static_cast<std::uint16_t*>(stream->data.data()), rowsDone);
    if (error == EDS_ERR_OK && stream->progress != nullptr) report(100);
    if (error == EDS_ERR_OK) stream->length = bytes;
    return error;
  });
}

EdsError LibRawBackend::SetProgressCallback(EdsBaseRef ref, EdsProgressCallback callback,
                                            EdsProgressOption option, EdsVoid* context) {
  const auto stream = registry_->Find<MemoryStreamObject>(ref, Kind::MemoryStream);
  if (!stream) return EDS_ERR_NOT_SUPPORTED;
  std::lock_guard lock(stream->mutex);
  const bool report = callback != nullptr && option != kEdsProgressOption_NoReport;
  stream->progress = report ? callback : nullptr;
  stream->progressOption = report ? option : kEdsProgressOption_NoReport;
  stream->progressContext = report ? context : nullptr;
  return EDS_ERR_OK;
}

EdsError LibRawBackend::GetPointer(EdsStreamRef ref, void** outPointer) {
  const auto stream = registry_->Find<MemoryStreamObject>(ref, Kind::MemoryStream);
  if (!stream) return EDS_ERR_INVALID_HANDLE;
  if (outPointer == nullptr) return EDS_ERR_INVALID_PARAMETER;
  *outPointer = stream->data.data();
  return EDS_ERR_OK;
}

EdsError LibRawBackend::GetLength(EdsStreamRef ref, EdsUInt64* outLength) {
  if (outLength == nullptr) return EDS_ERR_INVALID_PARAMETER;
  if (const auto stream = registry_->Find<MemoryStreamObject>(ref, Kind::MemoryStream)) {
    std::lock_guard lock(stream->mutex);
    *outLength = stream->length;
    return EDS_ERR_OK;
  }
  if (const auto file = registry_->Find<FileStreamObject>(ref, Kind::FileStream)) {
    *outLength = static_cast<EdsUInt64>(file->file->size());
    return EDS_ERR_OK;
  }
  return EDS_ERR_INVALID_HANDLE;
}

EdsUInt32 LibRawBackend::Release(EdsBaseRef ref) {
  return registry_->Remove(ref) ? 0 : 0xFFFFFFFF;
}

std::shared_ptr<EdsBackend> MakeLibRawBackend() {
  return std::make_shared<LibRawBackend>();
}
