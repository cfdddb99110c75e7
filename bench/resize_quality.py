#!/usr/bin/python3
"""Quality of a reduced output: our 1920x1080 DPX against a Lanczos-3 downscale (oiiotool) of our
own full-size linear DPX of the same file, as the mean absolute difference per channel in 16-bit
codes, in linear light and in the BT.709 space (the reference encoded with the BT.709 curve).

  bench/resize_quality.py [--raw2dpx build/cli/raw2dpx] [--size 1920x1080] [FILE...]

FILE defaults to the 600D and 5D Mark III fixtures of ../shared/fixtures/raw/synthetic. Needs
numpy (python3-numpy) and oiiotool (openimageio-tools).
"""
import argparse
import os
import subprocess
import tempfile

import numpy as np

here = os.path.dirname(os.path.abspath(__file__))
synthetic = os.path.join(here, '..', '..', 'shared', 'fixtures', 'raw', 'synthetic')


def read_dpx(path):
    # 16-bit RGB DPX of either byte order (oiiotool writes its own header size).
    with open(path, 'rb') as f:
        data = f.read()
    order = 'big' if data[:4] == b'SDPX' else 'little'
    offset = int.from_bytes(data[4:8], order)
    w = int.from_bytes(data[772:776], order)
    h = int.from_bytes(data[776:780], order)
    dtype = '>u2' if order == 'big' else '<u2'
    pixels = data[offset:offset + w * h * 6]
    return np.frombuffer(pixels, dtype=dtype).reshape(h, w, 3).astype(np.float64)


def rec709(linear):
    linear = np.clip(linear, 0.0, 1.0)
    return np.where(linear < 0.018, 4.5 * linear, 1.099 * np.power(linear, 0.45) - 0.099)


def convert(raw2dpx, raw, folder, *options):
    subprocess.run([raw2dpx, '--overwrite', 'always', '-o', folder, *options, raw], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return os.path.join(folder, os.path.splitext(os.path.basename(raw))[0] + '.dpx')


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--raw2dpx', default=os.path.join(here, '..', 'build', 'cli', 'raw2dpx'))
    ap.add_argument('--size', default='1920x1080')
    ap.add_argument('files', nargs='*')
    args = ap.parse_args()
    files = args.files or [os.path.join(synthetic, n)
                           for n in ('eos-600d-real-d1.cr2', 'eos-5d3-chart.cr2')]
    print(f'mean |difference| per channel R G B in 16-bit codes, {args.size} against a '
          'Lanczos-3 downscale of the full-size linear output')
    print(f'{"file":<24} {"linear":>24} {"BT.709":>24}')
    with tempfile.TemporaryDirectory() as work:
        for raw in files:
            full = convert(args.raw2dpx, raw, os.path.join(work, 'full'), '--color-space', 'linear')
            small_linear = convert(args.raw2dpx, raw, os.path.join(work, 'small-linear'),
                                   '--color-space', 'linear', '--resize', args.size)
            small_709 = convert(args.raw2dpx, raw, os.path.join(work, 'small-709'),
                                '--resize', args.size)
            scaled = os.path.join(work, 'scaled.dpx')
            # The full-size DPX holds the picture turned already; the target size is the same
            # either way (stretched).
            subprocess.run(['oiiotool', full, '--resize:filter=lanczos3', args.size, '-d', 'uint16',
                            '-o', scaled], check=True)
            ref = read_dpx(scaled)
            linear = np.abs(read_dpx(small_linear) - ref).mean(axis=(0, 1))
            encoded = np.round(65535 * rec709(ref / 65535))
            bt709 = np.abs(read_dpx(small_709) - encoded).mean(axis=(0, 1))
            name = os.path.basename(raw)
            print(f'{name:<24} {" ".join(f"{v:7.2f}" for v in linear):>24} '
                  f'{" ".join(f"{v:7.2f}" for v in bt709):>24}')


if __name__ == '__main__':
    main()
