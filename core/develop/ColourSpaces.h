// The colour maths of the output spaces, in double: matrices from published primaries and white
// points, the Bradford adaptation the ACES documents use between D65 and the ACES white, the
// ACEScct encoding, and colour temperature on the Planckian locus for white balance.
#pragma once

#include <array>
#include <cstdint>

#include "TransferCurve.h"

using Matrix3 = std::array<std::array<double, 3>, 3>;
using Vector3 = std::array<double, 3>;

struct Chromaticity {
  double x;
  double y;
};

struct RgbPrimaries {
  Chromaticity red, green, blue, white;
};

// ITU-R BT.709 (and sRGB) with D65; ITU-R BT.2020 with D65; ACES AP0 (ST 2065-1) and AP1
// (S-2014-004) with the ACES white.
const RgbPrimaries& Rec709Primaries();
const RgbPrimaries& Rec2020Primaries();
const RgbPrimaries& AcesAp0Primaries();
const RgbPrimaries& AcesAp1Primaries();

Matrix3 Multiply(const Matrix3& a, const Matrix3& b);
Vector3 Multiply(const Matrix3& m, const Vector3& v);
// Throws Exception for a singular matrix.
Matrix3 Inverse(const Matrix3& m);
Matrix3 Identity3();

// XYZ with Y = 1 for a chromaticity.
Vector3 WhiteXyz(Chromaticity white);
// RGB of the primaries to CIE XYZ, RGB (1, 1, 1) giving the white with Y = 1.
Matrix3 RgbToXyz(const RgbPrimaries& primaries);
// Bradford chromatic adaptation of XYZ from one white to another.
Matrix3 BradfordAdaptation(Chromaticity from, Chromaticity to);

// Linear Rec.709 (D65) to the linear primaries of the output colour space (kColorSpace...),
// white adapted with Bradford where the space's white differs; identity for the two Rec.709
// renderings (and any unknown id).
Matrix3 Rec709ToOutput(std::uint8_t colorSpace);
// The primaries and white of the output space's encoding.
const RgbPrimaries& OutputPrimaries(std::uint8_t colorSpace);

// ACEScct (S-2016-001) of a linear AP1 value.
double AcesCctEncode(double linear);
// Entry i holds round(65535 * AcesCctEncode(i / 65535)).
const TransferTable& AcesCctTable();
// The curve that encodes the output space from linear 0..65535: BT.709, ACEScct, or nullptr
// for the linear spaces.
const TransferTable* OutputCurve(std::uint8_t colorSpace);

// Colour temperature: the Planckian locus in CIE 1960 uv (Krystek's approximation, 1000 K to
// 15000 K). Tint moves the white off the locus along its normal: +1 is -1/3000 in Duv, towards
// magenta, so that a positive tint makes the balanced picture greener.
constexpr double kMinKelvin = 2000;
constexpr double kMaxKelvin = 15000;
constexpr double kMaxTint = 150;
Chromaticity WhiteOfTemperature(double kelvin, double tint);
struct Temperature {
  double kelvin;
  double tint;
};
// The temperature and tint whose white is nearest to white (Kelvin held to the range above).
Temperature TemperatureOfWhite(Chromaticity white);
Chromaticity ChromaticityOf(const Vector3& xyz);

// The camera's colour as its RAW developer describes it: the matrix from white-balanced camera
// RGB to linear Rec.709 (rows are output channels) and the daylight multipliers that balance
// camera RGB for a D65 white.
struct CameraResponse {
  Matrix3 cameraToRec709 = Identity3();
  Vector3 daylight{1, 1, 1};
};
// Unbalanced camera RGB to XYZ (D65 relative).
Matrix3 CameraToXyz(const CameraResponse& camera);
// Multipliers (green 1) that make the camera's response to white neutral.
Vector3 MultipliersForWhite(const CameraResponse& camera, Chromaticity white);
// The white the multipliers neutralise.
Chromaticity WhiteOfMultipliers(const CameraResponse& camera, const Vector3& multipliers);
