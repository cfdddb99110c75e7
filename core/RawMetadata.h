// What a RAW file records about its capture, read from its Exif data: the camera, the moment
// of capture to the sub-second, and the exposure.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct CaptureTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  std::int32_t nanoseconds = 0;  // from the sub-second digits; 0 when the file has none

  auto operator<=>(const CaptureTime&) const = default;
};

struct RawMetadata {
  std::string make;    // e.g. "Canon"
  std::string model;   // e.g. "Canon EOS 350D DIGITAL"
  std::string serial;  // the camera body's serial number
  std::string owner;   // the artist or copyright holder the camera was set up with
  std::optional<CaptureTime> captureTime;
  std::optional<float> isoSpeed;
  std::optional<float> exposureSeconds;

  // Make and model as one name, without repeating a make the model already begins with.
  std::string InputDevice() const;
};

// Reads the metadata of path. Raises Exception naming the file when it cannot be read or holds
// no metadata of a known kind; a file without some of the fields gives them empty.
RawMetadata ReadRawMetadata(const std::string& path);

// "YYYY:MM:DD hh:mm:ss" (Exif's form) with optional sub-second digits; nullopt when text is no
// valid date and time.
std::optional<CaptureTime> ParseCaptureTime(const std::string& dateTime,
                                            const std::string& subSeconds = "");

// The order in which paths were captured: positions into paths, earliest first. Ties, and the
// files whose capture time is unknown (after all others), go by path name.
std::vector<std::size_t> CaptureTimeOrder(const std::vector<std::string>& paths,
                                          const std::vector<std::optional<CaptureTime>>& times);
