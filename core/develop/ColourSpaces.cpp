#include "ColourSpaces.h"

#include <algorithm>
#include <cmath>

#include "ColourOptions.h"
#include "Exception.h"

namespace {

// CIE 1931 chromaticities of D65 as BT.709 and BT.2020 give them, and the ACES white
// (ST 2065-1), which is near but not CIE D60.
constexpr Chromaticity kD65{0.3127, 0.3290};
constexpr Chromaticity kAcesWhite{0.32168, 0.33767};

// Bradford cone response (Lam 1985), as the ACES reference implementation uses it.
constexpr Matrix3 kBradford{
    {{0.8951, 0.2664, -0.1614}, {-0.7502, 1.7135, 0.0367}, {0.0389, -0.0685, 1.0296}}};

// ACEScct: the linear segment meets the logarithm at 2^-7.
constexpr double kCctBreak = 0.0078125;
constexpr double kCctSlope = 10.5402377416545;
constexpr double kCctOffset = 0.0729055341958355;

// Tint in units of 1/3000 of a Duv step, the scale raw developers' tint sliders show.
constexpr double kTintScale = 3000;

struct Uv {
  double u;
  double v;
};

Uv PlanckianUv(double kelvin) {
  const double t = kelvin, t2 = t * t;
  return {(0.860117757 + 1.54118254e-4 * t + 1.28641212e-7 * t2) /
              (1 + 8.42420235e-4 * t + 7.08145163e-7 * t2),
          (0.317398726 + 4.22806245e-5 * t + 4.20481691e-8 * t2) /
              (1 - 2.89741816e-5 * t + 1.61456053e-7 * t2)};
}

// Unit normal of the locus at kelvin, pointing to larger v (towards green).
Uv LocusNormal(double kelvin) {
  const double h = kelvin * 1e-4;
  const Uv a = PlanckianUv(kelvin - h), b = PlanckianUv(kelvin + h);
  const double du = b.u - a.u, dv = b.v - a.v;
  const double length = std::hypot(du, dv);
  Uv n{-dv / length, du / length};
  if (n.v < 0) n = {-n.u, -n.v};
  return n;
}

Uv ToUv(Chromaticity c) {
  const double d = -2 * c.x + 12 * c.y + 3;
  return {4 * c.x / d, 6 * c.y / d};
}

Chromaticity FromUv(Uv c) {
  const double d = 2 * c.u - 8 * c.v + 4;
  return {3 * c.u / d, 2 * c.v / d};
}

Matrix3 Diagonal(const Vector3& d) {
  return {{{d[0], 0, 0}, {0, d[1], 0}, {0, 0, d[2]}}};
}

}  // namespace

const RgbPrimaries& Rec709Primaries() {
  static constexpr RgbPrimaries p{{0.640, 0.330}, {0.300, 0.600}, {0.150, 0.060}, kD65};
  return p;
}

const RgbPrimaries& Rec2020Primaries() {
  static constexpr RgbPrimaries p{{0.708, 0.292}, {0.170, 0.797}, {0.131, 0.046}, kD65};
  return p;
}

const RgbPrimaries& AcesAp0Primaries() {
  static constexpr RgbPrimaries p{
      {0.7347, 0.2653}, {0.0000, 1.0000}, {0.0001, -0.0770}, kAcesWhite};
  return p;
}

const RgbPrimaries& AcesAp1Primaries() {
  static constexpr RgbPrimaries p{{0.713, 0.293}, {0.165, 0.830}, {0.128, 0.044}, kAcesWhite};
  return p;
}

Matrix3 Multiply(const Matrix3& a, const Matrix3& b) {
  Matrix3 m{};
  for (std::size_t r = 0; r < 3; ++r) {
    for (std::size_t c = 0; c < 3; ++c) {
      for (std::size_t k = 0; k < 3; ++k) m[r][c] += a[r][k] * b[k][c];
    }
  }
  return m;
}

Vector3 Multiply(const Matrix3& m, const Vector3& v) {
  Vector3 out{};
  for (std::size_t r = 0; r < 3; ++r) out[r] = m[r][0] * v[0] + m[r][1] * v[1] + m[r][2] * v[2];
  return out;
}

Matrix3 Inverse(const Matrix3& m) {
  const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                     m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                     m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
  if (!(std::fabs(det) > 1e-12)) throw Exception("Colour matrix cannot be inverted");
  Matrix3 inv{};
  for (std::size_t r = 0; r < 3; ++r) {
    for (std::size_t c = 0; c < 3; ++c) {
      // Cofactor of (c, r), cyclic indices give the sign.
      const std::size_t r1 = (c + 1) % 3, r2 = (c + 2) % 3;
      const std::size_t c1 = (r + 1) % 3, c2 = (r + 2) % 3;
      inv[r][c] = (m[r1][c1] * m[r2][c2] - m[r1][c2] * m[r2][c1]) / det;
    }
  }
  return inv;
}

Matrix3 Identity3() {
  return {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
}

Vector3 WhiteXyz(Chromaticity white) {
  return {white.x / white.y, 1.0, (1 - white.x - white.y) / white.y};
}

Matrix3 RgbToXyz(const RgbPrimaries& p) {
  const Chromaticity primaries[3] = {p.red, p.green, p.blue};
  Matrix3 xyz{};
  for (std::size_t c = 0; c < 3; ++c) {
    const Chromaticity q = primaries[c];
    xyz[0][c] = q.x / q.y;
    xyz[1][c] = 1;
    xyz[2][c] = (1 - q.x - q.y) / q.y;
  }
  // Scale each primary so that RGB (1, 1, 1) adds up to the white.
  const Vector3 scale = Multiply(Inverse(xyz), WhiteXyz(p.white));
  return Multiply(xyz, Diagonal(scale));
}

Matrix3 BradfordAdaptation(Chromaticity from, Chromaticity to) {
  const Vector3 source = Multiply(kBradford, WhiteXyz(from));
  const Vector3 target = Multiply(kBradford, WhiteXyz(to));
  const Vector3 gain{target[0] / source[0], target[1] / source[1], target[2] / source[2]};
  return Multiply(Inverse(kBradford), Multiply(Diagonal(gain), kBradford));
}

const RgbPrimaries& OutputPrimaries(std::uint8_t colorSpace) {
  switch (colorSpace) {
    case kColorSpaceAcesCg:
    case kColorSpaceAcesCct:
      return AcesAp1Primaries();
    case kColorSpaceAces2065:
      return AcesAp0Primaries();
    case kColorSpaceLinRec2020:
      return Rec2020Primaries();
    default:
      return Rec709Primaries();
  }
}

Matrix3 Rec709ToOutput(std::uint8_t colorSpace) {
  const RgbPrimaries& target = OutputPrimaries(colorSpace);
  if (&target == &Rec709Primaries()) return Identity3();
  const RgbPrimaries& source = Rec709Primaries();
  Matrix3 toXyz = RgbToXyz(source);
  if (target.white.x != source.white.x || target.white.y != source.white.y) {
    toXyz = Multiply(BradfordAdaptation(source.white, target.white), toXyz);
  }
  return Multiply(Inverse(RgbToXyz(target)), toXyz);
}

double AcesCctEncode(double linear) {
  if (linear <= kCctBreak) return kCctSlope * linear + kCctOffset;
  return (std::log2(linear) + 9.72) / 17.52;
}

const TransferTable& AcesCctTable() {
  static const TransferTable table = [] {
    TransferTable t{};
    for (std::size_t i = 0; i < t.size(); ++i) {
      const double v = 65535.0 * AcesCctEncode(static_cast<double>(i) / 65535.0);
      t[i] = static_cast<std::uint16_t>(std::clamp(std::lround(v), 0L, 65535L));
    }
    return t;
  }();
  return table;
}

const TransferTable* OutputCurve(std::uint8_t colorSpace) {
  if (colorSpace == kColorSpaceAcesCct) return &AcesCctTable();
  if (IsLinearColorSpace(colorSpace)) return nullptr;
  return &Rec709Table();
}

Chromaticity WhiteOfTemperature(double kelvin, double tint) {
  kelvin = std::clamp(kelvin, 1000.0, kMaxKelvin);
  const Uv locus = PlanckianUv(kelvin);
  const Uv normal = LocusNormal(kelvin);
  const double duv = -tint / kTintScale;
  return FromUv({locus.u + duv * normal.u, locus.v + duv * normal.v});
}

Temperature TemperatureOfWhite(Chromaticity white) {
  const Uv target = ToUv(white);
  const auto distance = [&](double mired) {
    const Uv p = PlanckianUv(1e6 / mired);
    return std::hypot(p.u - target.u, p.v - target.v);
  };
  // Coarse scan in mired (even steps along the locus), then golden-section refinement.
  const double lo = 1e6 / kMaxKelvin, hi = 1e6 / 1000.0;
  double best = lo;
  for (double m = lo; m <= hi; m += 1) {
    if (distance(m) < distance(best)) best = m;
  }
  double a = std::max(lo, best - 1), b = std::min(hi, best + 1);
  constexpr double kGolden = 0.6180339887498949;
  for (int i = 0; i < 60; ++i) {
    const double c = b - kGolden * (b - a), d = a + kGolden * (b - a);
    if (distance(c) < distance(d)) {
      b = d;
    } else {
      a = c;
    }
  }
  const double kelvin = 1e6 / ((a + b) / 2);
  const Uv locus = PlanckianUv(kelvin);
  const Uv normal = LocusNormal(kelvin);
  const double duv = (target.u - locus.u) * normal.u + (target.v - locus.v) * normal.v;
  return {kelvin, -duv * kTintScale};
}

Chromaticity ChromaticityOf(const Vector3& xyz) {
  const double sum = xyz[0] + xyz[1] + xyz[2];
  if (!(std::fabs(sum) > 1e-12)) return Rec709Primaries().white;
  return {xyz[0] / sum, xyz[1] / sum};
}

Matrix3 CameraToXyz(const CameraResponse& camera) {
  // The matrix takes camera RGB balanced by the daylight multipliers to Rec.709, whose (1, 1, 1)
  // is D65: a daylight neutral stays neutral.
  return Multiply(RgbToXyz(Rec709Primaries()),
                  Multiply(camera.cameraToRec709, Diagonal(camera.daylight)));
}

Vector3 MultipliersForWhite(const CameraResponse& camera, Chromaticity white) {
  const Vector3 response = Multiply(Inverse(CameraToXyz(camera)), WhiteXyz(white));
  if (!(response[0] > 0 && response[1] > 0 && response[2] > 0)) {
    throw Exception("The camera's colour matrix gives no positive response to that white");
  }
  return {response[1] / response[0], 1.0, response[1] / response[2]};
}

Chromaticity WhiteOfMultipliers(const CameraResponse& camera, const Vector3& multipliers) {
  const Vector3 response{1 / multipliers[0], 1 / multipliers[1], 1 / multipliers[2]};
  return ChromaticityOf(Multiply(CameraToXyz(camera), response));
}
