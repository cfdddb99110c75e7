#include "RawMetadata.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <exiv2/exiv2.hpp>
#include <mutex>
#include <numeric>

#include "Exception.h"

namespace {

std::string Trimmed(std::string text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string Text(const Exiv2::ExifData& exif, const char* key) {
  const auto it = exif.findKey(Exiv2::ExifKey(key));
  return it == exif.end() ? std::string() : Trimmed(it->toString());
}

bool DaysInMonthOk(int year, int month, int day) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1) return false;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

}  // namespace

std::string RawMetadata::InputDevice() const {
  if (make.empty()) return model;
  if (model.empty()) return make;
  // "Canon" + "Canon EOS 5D" and "NIKON CORPORATION" + "NIKON D1" name the make twice.
  const std::string firstWord = make.substr(0, make.find(' '));
  if (model.size() >= firstWord.size() &&
      std::equal(firstWord.begin(), firstWord.end(), model.begin(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) ==
               std::tolower(static_cast<unsigned char>(b));
      })) {
    return model;
  }
  return make + " " + model;
}

std::optional<CaptureTime> ParseCaptureTime(const std::string& dateTime,
                                            const std::string& subSeconds) {
  CaptureTime t;
  char tail = 0;
  if (std::sscanf(dateTime.c_str(), "%4d:%2d:%2d %2d:%2d:%2d%c", &t.year, &t.month, &t.day, &t.hour,
                  &t.minute, &t.second, &tail) != 6) {
    return std::nullopt;
  }
  // Cameras without a set clock write "0000:00:00 00:00:00"; that is no moment.
  if (t.year < 1 || !DaysInMonthOk(t.year, t.month, t.day) || t.hour > 23 || t.minute > 59 ||
      t.second > 60) {
    return std::nullopt;
  }
  // Sub-second digits are a decimal fraction: "24" is 0.24 s, "024" is 0.024 s.
  const std::string digits = Trimmed(subSeconds);
  std::int32_t scale = 100000000;
  for (std::size_t i = 0; i < digits.size() && scale > 0; ++i) {
    if (digits[i] < '0' || digits[i] > '9') break;
    t.nanoseconds += (digits[i] - '0') * scale;
    scale /= 10;
  }
  return t;
}

RawMetadata ReadRawMetadata(const std::string& path) {
  static std::once_flag quiet;
  // Damaged maker notes make exiv2 talk on stderr; what matters is reported by our callers.
  std::call_once(quiet, [] { Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute); });
  RawMetadata metadata;
  try {
    const auto image = Exiv2::ImageFactory::open(path);
    image->readMetadata();
    const Exiv2::ExifData& exif = image->exifData();
    if (exif.empty()) throw Exception("Cannot read the metadata of \"" + path + "\". It has none");
    metadata.make = Text(exif, "Exif.Image.Make");
    metadata.model = Text(exif, "Exif.Image.Model");
    metadata.owner = Text(exif, "Exif.Image.Artist");
    if (metadata.owner.empty()) metadata.owner = Text(exif, "Exif.Image.Copyright");
    if (const auto serial = Exiv2::serialNumber(exif); serial != exif.end()) {
      metadata.serial = Trimmed(serial->toString());
    }
    std::string original = Text(exif, "Exif.Photo.DateTimeOriginal");
    std::string subSeconds = Text(exif, "Exif.Photo.SubSecTimeOriginal");
    if (original.empty()) {
      original = Text(exif, "Exif.Image.DateTimeOriginal");
    }
    if (original.empty()) {
      original = Text(exif, "Exif.Image.DateTime");
      subSeconds = Text(exif, "Exif.Photo.SubSecTime");
    }
    metadata.captureTime = ParseCaptureTime(original, subSeconds);
    if (const auto iso = Exiv2::isoSpeed(exif); iso != exif.end()) {
      // Some makers fill the first of several values with 0.
      for (long i = static_cast<long>(iso->count()) - 1; i >= 0; --i) {
        const float value = iso->toFloat(i);
        if (value > 0) {
          metadata.isoSpeed = value;
          break;
        }
      }
    }
    if (const auto exposure = Exiv2::exposureTime(exif); exposure != exif.end()) {
      const float seconds = exposure->toFloat(0);
      if (seconds > 0) metadata.exposureSeconds = seconds;
    }
  } catch (const Exiv2::Error& e) {
    throw Exception("Cannot read the metadata of \"" + path + "\". " + e.what());
  }
  return metadata;
}

std::vector<std::size_t> CaptureTimeOrder(const std::vector<std::string>& paths,
                                          const std::vector<std::optional<CaptureTime>>& times) {
  std::vector<std::size_t> order(paths.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    const auto& ta = times[a];
    const auto& tb = times[b];
    if (ta.has_value() != tb.has_value()) return ta.has_value();
    if (ta && *ta != *tb) return *ta < *tb;
    if (paths[a] != paths[b]) return paths[a] < paths[b];
    return a < b;
  });
  return order;
}
