#include "FrameInfo.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace {

bool ParseWhole(std::string_view text, std::int64_t& value) {
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return !text.empty() && ec == std::errc() && ptr == text.data() + text.size();
}

}  // namespace

int FrameRate::timebase() const {
  return static_cast<int>(std::lround(std::ceil(value() - 1e-9)));
}

std::optional<FrameRate> ParseFrameRate(const std::string& text) {
  constexpr std::int64_t kMax = 1000;
  std::int64_t numerator = 0;
  std::int64_t denominator = 1;
  if (const std::size_t slash = text.find('/'); slash != std::string::npos) {
    if (!ParseWhole(std::string_view(text).substr(0, slash), numerator) ||
        !ParseWhole(std::string_view(text).substr(slash + 1), denominator) || denominator < 1 ||
        numerator < 1 || numerator > kMax * denominator || numerator > INT32_MAX ||
        denominator > INT32_MAX) {
      return std::nullopt;
    }
    return FrameRate{static_cast<std::int32_t>(numerator), static_cast<std::int32_t>(denominator)};
  }
  const std::size_t dot = text.find('.');
  const std::string_view whole = std::string_view(text).substr(0, dot);
  if (!ParseWhole(whole, numerator)) return std::nullopt;
  if (dot != std::string::npos) {
    const std::string_view fraction = std::string_view(text).substr(dot + 1);
    if (fraction.empty() || fraction.size() > 3) return std::nullopt;
    std::int64_t digits = 0;
    if (!ParseWhole(fraction, digits) ||
        fraction.find_first_not_of("0123456789") != std::string_view::npos) {
      return std::nullopt;
    }
    for (std::size_t i = 0; i < fraction.size(); ++i) {
      numerator *= 10;
      denominator *= 10;
    }
    numerator += digits;
    // The NTSC family (23.976, 29.97, 59.94, ...) is N*1000/1001 exactly, whatever the digits.
    for (const int base : {24, 30, 48, 60, 120}) {
      const double ntsc = base * 1000.0 / 1001.0;
      if (std::fabs(static_cast<double>(numerator) / static_cast<double>(denominator) - ntsc) <
          0.006) {
        return FrameRate{base * 1000, 1001};
      }
    }
  }
  if (numerator < 1 || numerator > kMax * denominator) return std::nullopt;
  return FrameRate{static_cast<std::int32_t>(numerator), static_cast<std::int32_t>(denominator)};
}

std::optional<Timecode> ParseTimecode(const std::string& text, int timebase) {
  Timecode t;
  char tail = 0;
  if (text.size() != 11 || std::sscanf(text.c_str(), "%2d:%2d:%2d:%2d%c", &t.hours, &t.minutes,
                                       &t.seconds, &t.frames, &tail) != 4) {
    return std::nullopt;
  }
  for (const std::size_t colon : {2, 5, 8}) {
    if (text[colon] != ':') return std::nullopt;
  }
  if (text.find_first_not_of("0123456789:") != std::string::npos) return std::nullopt;
  if (t.hours > 23 || t.minutes > 59 || t.seconds > 59 || t.frames >= timebase) {
    return std::nullopt;
  }
  return t;
}

Timecode AddFrames(Timecode start, std::int64_t frames, int timebase) {
  const std::int64_t perDay = std::int64_t{timebase} * 86400;
  std::int64_t total =
      ((std::int64_t{start.hours} * 60 + start.minutes) * 60 + start.seconds) * timebase +
      start.frames + frames;
  total = ((total % perDay) + perDay) % perDay;
  Timecode t;
  t.frames = static_cast<int>(total % timebase);
  total /= timebase;
  t.seconds = static_cast<int>(total % 60);
  total /= 60;
  t.minutes = static_cast<int>(total % 60);
  t.hours = static_cast<int>(total / 60);
  return t;
}

std::uint32_t TimecodeBcd(const Timecode& t) {
  auto bcd = [](int value) { return static_cast<std::uint32_t>((value / 10) << 4 | (value % 10)); };
  return bcd(t.hours) << 24 | bcd(t.minutes) << 16 | bcd(t.seconds) << 8 | bcd(t.frames);
}

std::string ToString(const Timecode& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d:%02d", t.hours, t.minutes, t.seconds, t.frames);
  return text;
}

std::string CurrentDateTimeText() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[64];
  std::strftime(text, sizeof text, "%Y:%m:%d:%H:%M:%S%z", &local);
  return text;
}
