#!/usr/bin/python3
"""Reference values for tests/core/ColourSpacesTest.cpp, recomputed with OpenColorIO 2.1's
builtin ACES transforms (Debian: python3-pyopencolorio). Prints the tables the test holds.

Matrices are read off the builtin transforms by transforming basis vectors; where a builtin
includes a display curve (BT.1886, gamma 2.4), the curve is undone on a small step around
white, which leaves the matrix exact.
"""
import sys

try:
    import PyOpenColorIO as ocio
except ImportError:
    sys.exit("colour_reference.py needs OpenColorIO's Python module (python3-pyopencolorio)")

config = ocio.Config.CreateRaw()


def processor(name, inverse=False):
    t = ocio.BuiltinTransform(name)
    if inverse:
        t.setDirection(ocio.TRANSFORM_DIR_INVERSE)
    return config.getProcessor(t).getDefaultCPUProcessor()


def apply(proc, rgb):
    return list(proc.applyRGB(list(rgb)))


def matrix_of(proc):
    cols = [apply(proc, e) for e in ([1, 0, 0], [0, 1, 0], [0, 0, 1])]
    return [[cols[c][r] for c in range(3)] for r in range(3)]


def display_matrix(name, white_xyz):
    """XYZ (D65) to display RGB of a builtin with a 2.4 power curve: white maps to (1, 1, 1)."""
    proc = processor(name)
    h = 0.2
    m = [[0.0] * 3 for _ in range(3)]
    for j in range(3):
        v = list(white_xyz)
        v[j] += h
        out = apply(proc, v)
        for i in range(3):
            m[i][j] = (out[i] ** 2.4 - 1.0) / h
    return m


def mul(a, b):
    return [[sum(a[r][k] * b[k][c] for k in range(3)) for c in range(3)] for r in range(3)]


def inv(m):
    a, b, c = m[0]
    d, e, f = m[1]
    g, h, i = m[2]
    det = a * (e * i - f * h) - b * (d * i - f * g) + c * (d * h - e * g)
    return [[(e * i - f * h) / det, (c * h - b * i) / det, (b * f - c * e) / det],
            [(f * g - d * i) / det, (a * i - c * g) / det, (c * d - a * f) / det],
            [(d * h - e * g) / det, (b * g - a * h) / det, (a * e - b * d) / det]]


d65 = [0.3127 / 0.3290, 1.0, (1 - 0.3127 - 0.3290) / 0.3290]
xyz_to_709 = display_matrix("DISPLAY - CIE-XYZ-D65_to_REC.1886-REC.709", d65)
xyz_to_2020 = display_matrix("DISPLAY - CIE-XYZ-D65_to_REC.1886-REC.2020", d65)
rec709_to_xyz = inv(xyz_to_709)
ap0_to_xyz = matrix_of(processor("UTILITY - ACES-AP0_to_CIE-XYZ-D65_BFD"))
ap1_to_xyz = matrix_of(processor("UTILITY - ACES-AP1_to_CIE-XYZ-D65_BFD"))

tables = {
    "Rec709ToXyz": rec709_to_xyz,
    "Rec709ToAcesCg": mul(inv(ap1_to_xyz), rec709_to_xyz),
    "Rec709ToAces2065": mul(inv(ap0_to_xyz), rec709_to_xyz),
    "Rec709ToRec2020": mul(xyz_to_2020, rec709_to_xyz),
    "AcesCgToAces2065": matrix_of(processor("ACEScg_to_ACES2065-1")),
}
for name, m in tables.items():
    rows = ", ".join("{" + ", ".join(f"{v:.7f}" for v in row) + "}" for row in m)
    print(f'{{"{name}", {{{{{rows}}}}}}},')

cct_to_lin = processor("CURVE - ACEScct-LOG_to_LINEAR")
lin_to_cct = processor("CURVE - ACEScct-LOG_to_LINEAR", inverse=True)
for lin in (0.0, 0.001, 0.0078125, 0.18, 1.0, 16.0):
    print(f"{{{lin}, {apply(lin_to_cct, [lin] * 3)[0]:.7f}}},")
