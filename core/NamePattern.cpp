#include "NamePattern.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <string_view>

#include "Exception.h"

namespace {

constexpr int kMaxFrameWidth = 18;

[[noreturn]] void Bad(const std::string& pattern, const std::string& why) {
  throw Exception("Bad name pattern \"" + pattern + "\": " + why);
}

// A field's value may not lead into another folder.
std::string Sanitized(std::string value) {
  for (char& c : value) {
    if (c == '/' || static_cast<unsigned char>(c) < 0x20) c = '_';
  }
  return value;
}

std::string Trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::string TwoDigits(int value) {
  char text[16];
  std::snprintf(text, sizeof text, "%02d", value);
  return text;
}

std::string FormatDate(const std::string& format, const CaptureTime& t) {
  std::string out;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') {
      out += format[i];
      continue;
    }
    switch (format[++i]) {
      case 'Y': {
        char year[16];
        std::snprintf(year, sizeof year, "%04d", t.year);
        out += year;
        break;
      }
      case 'm':
        out += TwoDigits(t.month);
        break;
      case 'd':
        out += TwoDigits(t.day);
        break;
      case 'H':
        out += TwoDigits(t.hour);
        break;
      case 'M':
        out += TwoDigits(t.minute);
        break;
      case 'S':
        out += TwoDigits(t.second);
        break;
      default:
        out += '%';
        break;  // "%%"; the constructor let nothing else through
    }
  }
  return out;
}

bool EndsWithNoCase(const std::string& text, const std::string& tail) {
  if (tail.size() > text.size()) return false;
  for (std::size_t i = 0; i < tail.size(); ++i) {
    const char a = text[text.size() - tail.size() + i];
    const char b = tail[i];
    if (std::tolower(static_cast<unsigned char>(a)) != std::tolower(static_cast<unsigned char>(b)))
      return false;
  }
  return true;
}

}  // namespace

NamePattern::NamePattern(const std::string& pattern) : text_(pattern) {
  if (pattern.empty()) Bad(pattern, "it is empty");
  if (pattern.find('/') != std::string::npos) {
    Bad(pattern, "it may not contain \"/\" (files are written into the output folder)");
  }
  std::string literal;
  auto flush = [&] {
    if (!literal.empty()) pieces_.push_back({Kind::Literal, literal});
    literal.clear();
  };
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c == '}') {
      if (i + 1 < pattern.size() && pattern[i + 1] == '}') {
        literal += '}';
        ++i;
        continue;
      }
      Bad(pattern, "a lone \"}\" (write \"}}\" for a brace)");
    }
    if (c != '{') {
      literal += c;
      continue;
    }
    if (i + 1 < pattern.size() && pattern[i + 1] == '{') {
      literal += '{';
      ++i;
      continue;
    }
    const std::size_t close = pattern.find('}', i);
    if (close == std::string::npos) Bad(pattern, "a \"{\" without its \"}\"");
    const std::string field = pattern.substr(i + 1, close - i - 1);
    const std::size_t colon = field.find(':');
    const std::string name = field.substr(0, colon);
    const std::optional<std::string> argument =
        colon == std::string::npos ? std::nullopt : std::optional(field.substr(colon + 1));
    flush();
    if (name == "stem" && !argument) {
      pieces_.push_back({Kind::Stem, {}});
    } else if (name == "camera" && !argument) {
      pieces_.push_back({Kind::Camera, {}});
      usesCamera_ = true;
    } else if (name == "frame") {
      int width = 0;
      if (argument) {
        const char* end = argument->data() + argument->size();
        const auto [ptr, ec] = std::from_chars(argument->data(), end, width);
        if (argument->empty() || ec != std::errc() || ptr != end || width < 1 ||
            width > kMaxFrameWidth) {
          Bad(pattern, "{frame:N} takes a padding N from 1 to " + std::to_string(kMaxFrameWidth) +
                           ", not \"" + *argument + "\"");
        }
      }
      pieces_.push_back({Kind::Frame, {}, width});
    } else if (name == "date") {
      const std::string format = argument.value_or("%Y%m%d");
      for (std::size_t k = 0; k < format.size(); ++k) {
        if (format[k] != '%') continue;
        if (k + 1 >= format.size() ||
            std::string_view("YmdHMS%").find(format[k + 1]) == std::string_view::npos) {
          Bad(pattern, "{date:...} knows %Y %m %d %H %M %S and %%");
        }
        ++k;
      }
      pieces_.push_back({Kind::Date, format});
      usesDate_ = true;
    } else {
      Bad(pattern, "unknown field {" + field +
                       "} (known: {stem}, {frame}, {frame:N}, {camera}, "
                       "{date}, {date:FORMAT})");
    }
    i = close;
  }
  flush();
}

std::string NamePattern::Expand(const NameFields& fields, const std::string& extension) const {
  std::string name;
  for (const Piece& piece : pieces_) {
    switch (piece.kind) {
      case Kind::Literal:
        name += piece.text;
        break;
      case Kind::Stem:
        name += Sanitized(fields.stem);
        break;
      case Kind::Frame: {
        std::string digits = std::to_string(fields.frame);
        if (static_cast<int>(digits.size()) < piece.width) {
          digits.insert(0, static_cast<std::size_t>(piece.width) - digits.size(), '0');
        }
        name += digits;
        break;
      }
      case Kind::Camera: {
        const std::string camera = Trimmed(fields.camera);
        if (camera.empty()) throw Exception("The file records no camera model for {camera}");
        name += Sanitized(camera);
        break;
      }
      case Kind::Date:
        if (!fields.captureTime) throw Exception("The file records no capture date for {date}");
        name += Sanitized(FormatDate(piece.text, *fields.captureTime));
        break;
    }
  }
  if (!EndsWithNoCase(name, extension)) name += extension;
  if (name == extension || name == "." || name == "..") {
    throw Exception("The name pattern \"" + text_ + "\" gives no file name (\"" + name + "\")");
  }
  return name;
}

std::int64_t FrameNumber(std::int64_t start, std::int64_t step, std::size_t index) {
  return start + step * static_cast<std::int64_t>(index);
}
