#!/usr/bin/env python3
"""Writes the small DPX files of tests/data/dpx: pictures the decoder must read, and files whose
name tells the fault they provoke (cut short, lying about their size, pointing past their end).

Run it from anywhere; it rewrites the files beside itself. The files are committed, so the tests
do not need Python. The header layout is written out here on its own, independently of the
C++ writer, so that comparing the two catches a mistake in either.
"""
import pathlib
import struct

HERE = pathlib.Path(__file__).resolve().parent
HEADER_SIZE = 2048


def header(width, height, *, big_endian=False, magic=None, data_offset=HEADER_SIZE,
           element_offset=HEADER_SIZE, bit_depth=16, transfer=6, pixel_bytes=0):
    """A 2048-byte header laid out like the program's own files, in either byte order."""
    order = ">" if big_endian else "<"
    h = bytearray(HEADER_SIZE)

    def put(fmt, offset, *values):
        struct.pack_into(order + fmt, h, offset, *values)

    put("I", 0, 0x53445058)
    if magic is not None:
        h[0:4] = magic
    put("I", 4, data_offset)
    h[8:12] = b"V1.0"
    put("I", 16, (HEADER_SIZE + pixel_bytes) & 0xFFFFFFFF)
    put("I", 20, 1)  # ditto key: a new image
    put("I", 660, 0xFFFFFFFF)  # encryption key: none
    put("H", 768, 0)  # orientation: left to right, top to bottom
    put("H", 770, 1)  # one image element
    put("i", 772, width)
    put("i", 776, height)
    h[800] = 50  # descriptor: R, G, B
    h[801] = transfer
    h[802] = 1  # colorimetric: printing density
    h[803] = bit_depth
    put("H", 804, 1)  # packing: filled to 32-bit words
    put("I", 808, element_offset)
    return bytes(h)


def u16(value, big_endian=False):
    return struct.pack(">H" if big_endian else "<H", value)


def word(value, big_endian=False):
    return struct.pack(">I" if big_endian else "<I", value)


# 16-bit samples of a 2x1 picture: (R, G, B) per pixel. Decoded, each gives its high byte.
SAMPLES_2X1 = [(0xABCD, 0x1234, 0x5678), (0xFF00, 0x00FF, 0x7F80)]


def samples(pixels, big_endian=False):
    return b"".join(u16(s, big_endian) for pixel in pixels for s in pixel)


# A 10-bit packed word giving R 0x12, G 0x34, B 0x56 from its top 8 bits per component, with
# every bit that must be ignored set: the two low bits of each 10-bit component and bits 0-1.
NOISY_WORD = (0x12 << 24) | (0x34 << 14) | (0x56 << 4) | (0x3 << 22) | (0x3 << 12) | (0x3 << 2) | 0x3
# Stored little-endian as 00 00 E0 FF: R 255, G 128, B 0.
WORD_FFE00000 = 0xFFE00000


def fixtures():
    files = {}
    pixels = samples(SAMPLES_2X1)
    # Byte for byte what the writer produces for SAMPLES_2X1 with ColorSpace 0.
    files["written-2x1-rec709.dpx"] = header(2, 1, pixel_bytes=len(pixels)) + pixels
    be_pixels = samples(SAMPLES_2X1, big_endian=True)
    files["big-endian-16bit-2x1.dpx"] = (
        header(2, 1, big_endian=True, pixel_bytes=len(be_pixels)) + be_pixels)
    for big_endian, name in ((False, "little-endian"), (True, "big-endian")):
        data = word(WORD_FFE00000, big_endian) + word(NOISY_WORD, big_endian)
        files[f"{name}-10bit-2x1.dpx"] = (
            header(2, 1, big_endian=big_endian, bit_depth=10, pixel_bytes=8) + data)
    for depth in (8, 12):
        data = word(NOISY_WORD) + word(WORD_FFE00000)
        files[f"bit-depth-{depth}-read-as-10bit-words.dpx"] = (
            header(2, 1, bit_depth=depth, pixel_bytes=8) + data)
    # Decoy pixels where the element's own offset points, the real ones at 8192.
    files["data-offset-8192-element-offset-2048.dpx"] = (
        header(2, 1, data_offset=8192, pixel_bytes=8192 - HEADER_SIZE + 12)
        + bytes([0x11]) * (8192 - HEADER_SIZE) + pixels)
    files["foreign-magic-read-byte-swapped.dpx"] = (
        header(2, 1, big_endian=True, magic=b"RIFF", pixel_bytes=12) + be_pixels)
    # An empty picture needs no pixel data, wherever the offset points.
    files["zero-height-offset-past-end.dpx"] = header(5, 0, data_offset=0x7FFFFFF0)
    files["zero-width-offset-past-end.dpx"] = header(0, 7, data_offset=0xFFFFFFFF)
    # Found by fuzzing: rows of width 0 were still walked one by one, 2^31 of them.
    files["zero-width-max-height-walks-2147483647-empty-rows.dpx"] = header(0, 0x7FFFFFFF)

    written = files["written-2x1-rec709.dpx"]
    files["empty-file.dpx"] = b""
    files["truncated-header-1000-bytes.dpx"] = written[:1000]
    files["truncated-header-1407-bytes.dpx"] = written[:1407]
    files["truncated-pixels-last-byte-missing.dpx"] = written[:-1]
    files["truncated-pixels-4x4-half-data.dpx"] = header(4, 4, pixel_bytes=96) + bytes(48)
    files["truncated-10bit-pixels-3x1-two-words.dpx"] = (
        header(3, 1, bit_depth=10, pixel_bytes=12) + word(WORD_FFE00000) * 2)
    files["offset-past-end-8192.dpx"] = header(1, 1, data_offset=8192, pixel_bytes=6) + bytes(6)
    files["offset-0xFFFFFFFF-wraps-32-bit.dpx"] = (
        header(1, 1, data_offset=0xFFFFFFFF, bit_depth=10, pixel_bytes=4) + bytes(4))
    files["lying-size-65535x65535.dpx"] = header(65535, 65535, pixel_bytes=6) + bytes(6)
    files["lying-size-2147483647x2147483647-wraps-64-bit.dpx"] = (
        header(0x7FFFFFFF, 0x7FFFFFFF, pixel_bytes=6) + bytes(6))
    files["lying-size-big-endian-10bit-40000x30000.dpx"] = (
        header(40000, 30000, big_endian=True, bit_depth=10, pixel_bytes=4) + bytes(4))
    files["negative-width.dpx"] = header(-1, 1, pixel_bytes=6) + bytes(6)
    files["negative-height-big-endian.dpx"] = (
        header(1, -0x80000000, big_endian=True, pixel_bytes=6) + bytes(6))
    return files


def main():
    for name, data in fixtures().items():
        (HERE / name).write_bytes(data)
        print(f"{len(data):6d}  {name}")


if __name__ == "__main__":
    main()
