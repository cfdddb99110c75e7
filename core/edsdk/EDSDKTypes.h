// Types of the RAW developer SDK layer: the same shapes the camera maker's SDK uses, so that
// the conversion code reads like code written against it.
#pragma once

#include <cstdint>

using EdsError = std::uint32_t;
using EdsInt32 = std::int32_t;
using EdsUInt32 = std::uint32_t;
using EdsInt64 = std::int64_t;
using EdsUInt64 = std::uint64_t;
using EdsBool = std::int32_t;
using EdsVoid = void;

// Opaque object references. Every reference obtained is given back once with EdsRelease.
struct EdsObject;
using EdsBaseRef = EdsObject*;
using EdsStreamRef = EdsBaseRef;
using EdsImageRef = EdsBaseRef;

enum EdsFileCreateDisposition : EdsUInt32 {
  kEdsFileCreateDisposition_CreateNew = 0,
  kEdsFileCreateDisposition_CreateAlways = 1,
  kEdsFileCreateDisposition_OpenExisting = 2,
  kEdsFileCreateDisposition_OpenAlways = 3,
  kEdsFileCreateDisposition_TruncateExsisting = 4,
};

enum EdsAccess : EdsUInt32 {
  kEdsAccess_Read = 0,
  kEdsAccess_Write = 1,
  kEdsAccess_ReadWrite = 2,
};

enum EdsImageSource : EdsUInt32 {
  kEdsImageSrc_FullView = 0,
  kEdsImageSrc_Thumbnail = 1,
  kEdsImageSrc_Preview = 2,
  kEdsImageSrc_RAWThumbnail = 3,
  kEdsImageSrc_RAWFullView = 4,
};

enum EdsTargetImageType : EdsUInt32 {
  kEdsTargetImageType_Unknown = 0,
  kEdsTargetImageType_Jpeg = 1,
  kEdsTargetImageType_TIFF = 7,
  kEdsTargetImageType_TIFF16 = 8,
  kEdsTargetImageType_RGB = 9,
  kEdsTargetImageType_RGB16 = 10,
  kEdsTargetImageType_DIB = 11,
};

using EdsPropertyID = EdsUInt32;
// Image property: a 32-bit value 1 switches the develop step to linear rendering.
constexpr EdsPropertyID kEdsPropID_LinearRendering = 0x300;
// Image property, a 32-bit value: which develop path renders the picture. Set: 0 (the default)
// lets the backend choose, 1 asks for LibRaw's AHD rendering. Get: the path the picture takes.
constexpr EdsPropertyID kEdsPropID_DevelopPath = 0x310;
constexpr EdsUInt32 kEdsDevelopPath_Own = 0;     // our tiled Bayer path (RCD demosaic)
constexpr EdsUInt32 kEdsDevelopPath_LibRaw = 1;  // LibRaw's own develop (AHD demosaic)
// Image property, read only, three doubles: the white-balance multipliers the camera recorded
// for the picture (red, green, blue; green is 1), or its daylight balance where none was
// recorded.
constexpr EdsPropertyID kEdsPropID_AsShotWhiteBalance = 0x320;
// Image property, read only, three doubles: the camera's daylight multipliers (green is 1).
constexpr EdsPropertyID kEdsPropID_DaylightWhiteBalance = 0x321;
// Image property, read only, nine doubles (row by row): the matrix from white-balanced camera
// RGB to linear Rec.709 the develop step uses. Unavailable for sensors without three colours.
constexpr EdsPropertyID kEdsPropID_CameraMatrix = 0x322;
// Image property, a 32-bit value: the output colour space (kColorSpace... of ColourOptions.h).
// Takes precedence over kEdsPropID_LinearRendering when not 0.
constexpr EdsPropertyID kEdsPropID_ColorSpace = 0x330;
// Image property, a 32-bit value: kEdsWhiteBalance_...
constexpr EdsPropertyID kEdsPropID_WhiteBalance = 0x340;
constexpr EdsUInt32 kEdsWhiteBalance_AsShot = 0;
constexpr EdsUInt32 kEdsWhiteBalance_Daylight = 1;
constexpr EdsUInt32 kEdsWhiteBalance_Multipliers = 2;  // those of the property below
// Image property, three doubles: red, green and blue multipliers, all above 0.
constexpr EdsPropertyID kEdsPropID_WhiteBalanceMultipliers = 0x341;
// Image property, a double: exposure offset in stops, applied in linear light before the clip.
constexpr EdsPropertyID kEdsPropID_ExposureStops = 0x350;
// Image property, a 32-bit value: 0 clips highlights neutral, 1 reconstructs them.
constexpr EdsPropertyID kEdsPropID_Highlights = 0x360;

enum EdsProgressOption : EdsUInt32 {
  kEdsProgressOption_NoReport = 0,
  kEdsProgressOption_Done = 1,
  kEdsProgressOption_Periodically = 2,
};

// Progress of work on an object. Set on a memory stream, it is called while EdsGetImage fills
// the stream, from the developer's threads, with percent telling how much of the stream, from
// its start, holds its final bytes (rounded down), so that they may be used before the rest is
// done. *outCancel is not read: the develop runs to its end. The callback must not call the SDK
// (the objects it reports on are busy).
using EdsProgressCallback = EdsError (*)(EdsUInt32 inPercent, EdsVoid* inContext,
                                         EdsBool* outCancel);

struct EdsRect {
  EdsInt32 x;
  EdsInt32 y;
  EdsInt32 width;
  EdsInt32 height;
};

struct EdsSize {
  EdsInt32 width;
  EdsInt32 height;
};

// Filled by EdsGetImageInfo into a 40-byte area; only width and height are used.
struct EdsImageInfo {
  EdsUInt32 width;
  EdsUInt32 height;
  EdsUInt32 numOfComponents;
  EdsUInt32 componentDepth;
  EdsRect effectiveRect;
  EdsUInt32 reserved1;
  EdsUInt32 reserved2;
};
static_assert(sizeof(EdsImageInfo) == 40);
