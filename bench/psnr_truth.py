#!/usr/bin/python3
"""Demosaic quality against ground truth: our path (rcd) and LibRaw's AHD (ahd).

  bench/psnr_truth.py [--model 5d3] [--raw2dpx build/cli/raw2dpx] [--keep DIR]

For the chart with and without the optical low-pass, writes a noise-free CR2 and its truth with
../shared/tools/make_cr2_truth.py, converts it both ways in both colour spaces, and prints PSNR
over all channels (a 16-pixel border left out). The truth is put through the rendering by an
affine map per output channel (camera truth -> linear output) fitted by least squares on the
unclipped pixels of the AHD output; the BT.709 truth is that map clipped to [0, 1] and encoded.
Needs numpy (python3-numpy).
"""
import argparse
import os
import subprocess
import sys
import tempfile

import numpy as np

here = os.path.dirname(os.path.abspath(__file__))
BORDER = 16


def read_ppm(path):
    with open(path, 'rb') as f:
        data = f.read()
    # Four header tokens, then exactly one whitespace byte: the samples may start with bytes
    # that look like whitespace too.
    tokens, at = [], 0
    while len(tokens) < 4:
        while data[at:at + 1].isspace():
            at += 1
        start = at
        while not data[at:at + 1].isspace():
            at += 1
        tokens.append(data[start:at])
    w, h = int(tokens[1]), int(tokens[2])
    pixels = data[at + 1:at + 1 + w * h * 6]
    return np.frombuffer(pixels, dtype='>u2').reshape(h, w, 3).astype(np.float64)


def read_dpx(path):
    with open(path, 'rb') as f:
        data = f.read()
    w = int.from_bytes(data[772:776], 'little')
    h = int.from_bytes(data[776:780], 'little')
    return np.frombuffer(data[2048:2048 + w * h * 6], dtype='<u2').reshape(h, w, 3).astype(np.float64)


def rec709(linear):
    linear = np.clip(linear, 0.0, 1.0)
    return np.where(linear < 0.018, 4.5 * linear, 1.099 * np.power(linear, 0.45) - 0.099)


def psnr(a, b):
    a = a[BORDER:-BORDER, BORDER:-BORDER]
    b = b[BORDER:-BORDER, BORDER:-BORDER]
    mse = np.mean((a - b) ** 2)
    return 10 * np.log10(1.0 / mse) if mse > 0 else float('inf')


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--model', default='5d3')
    ap.add_argument('--raw2dpx', default=os.path.join(here, '..', 'build', 'cli', 'raw2dpx'))
    ap.add_argument('--keep')
    args = ap.parse_args()
    tool = os.path.join(here, '..', '..', 'shared', 'tools', 'make_cr2_truth.py')
    work = args.keep or tempfile.mkdtemp()
    os.makedirs(work, exist_ok=True)
    print(f'model {args.model}; PSNR in dB over all channels, linear / BT.709')
    print(f'{"chart":<10} {"rcd":>15} {"ahd":>15} {"rcd-ahd":>15}')
    for olpf in (True, False):
        name = 'olpf' if olpf else 'sharp'
        cr2 = os.path.join(work, f'{name}.cr2')
        truth_path = os.path.join(work, f'{name}.ppm')
        if not os.path.exists(truth_path):
            subprocess.run([sys.executable, tool, cr2, truth_path, '--model', args.model] +
                           (['--olpf'] if olpf else []), check=True, stdout=subprocess.DEVNULL)
        truth = read_ppm(truth_path)
        out = {}
        for demosaic in ('rcd', 'ahd'):
            for space in ('linear', 'srgb'):
                folder = os.path.join(work, f'{name}-{demosaic}-{space}')
                subprocess.run([args.raw2dpx, '--demosaic', demosaic, '--color-space', space,
                                '--overwrite', 'always', '-o', folder, cr2], check=True,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                out[demosaic, space] = read_dpx(os.path.join(folder, f'{name}.dpx')) / 65535.0
        reference = out['ahd', 'linear']
        h = min(truth.shape[0], reference.shape[0])
        w = min(truth.shape[1], reference.shape[1])
        t = truth[:h, :w].reshape(-1, 3)
        design = np.hstack([t, np.ones((t.shape[0], 1))])
        fitted = np.empty((h * w, 3))
        for c in range(3):
            target = reference[:h, :w, c].reshape(-1)
            usable = (target > 0.002) & (target < 0.98)
            coef, *_ = np.linalg.lstsq(design[usable], target[usable], rcond=None)
            fitted[:, c] = design @ coef
        truth_linear = np.clip(fitted.reshape(h, w, 3), 0.0, 1.0)
        truth_709 = rec709(truth_linear)
        scores = {}
        for demosaic in ('rcd', 'ahd'):
            scores[demosaic] = (psnr(out[demosaic, 'linear'][:h, :w], truth_linear),
                                psnr(out[demosaic, 'srgb'][:h, :w], truth_709))
        r, a = scores['rcd'], scores['ahd']
        print(f'{name:<10} {r[0]:6.2f} / {r[1]:6.2f} {a[0]:6.2f} / {a[1]:6.2f} '
              f'{r[0] - a[0]:+6.2f} / {r[1] - a[1]:+6.2f}')


if __name__ == '__main__':
    main()
