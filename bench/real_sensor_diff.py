#!/usr/bin/python3
"""Our develop (rcd) against LibRaw's AHD (ahd) on real sensor data, where no ground truth exists.

  bench/real_sensor_diff.py [--raw2dpx build/cli/raw2dpx] [--out DIR] [--crop N]
                            [--color-space rec709|linear] [FILE...]

Converts each RAW file (default: the CRW, NEF and KDC fixtures of the shared folder) with
--demosaic rcd and --demosaic ahd, then prints per channel the mean absolute difference in
16-bit codes over the whole picture and without an 8-pixel border (the two demosaics treat the
edge differently), and the mean signed difference (rcd - ahd). For each file it writes
DIR/<name>-crops.png: rows of three crops [rcd | ahd | |rcd - ahd| x 8], each shown at twice its
size, taken at the centre, where the picture has the most detail, and where the two differ most.
Needs numpy (python3-numpy).
"""
import argparse
import os
import struct
import subprocess
import sys
import tempfile
import zlib

import numpy as np

here = os.path.dirname(os.path.abspath(__file__))
BORDER = 8


def read_dpx(path):
    with open(path, 'rb') as f:
        data = f.read()
    w = int.from_bytes(data[772:776], 'little')
    h = int.from_bytes(data[776:780], 'little')
    return np.frombuffer(data[2048:2048 + w * h * 6], dtype='<u2').reshape(h, w, 3).astype(np.int32)


def write_png(path, rgb8):
    h, w, _ = rgb8.shape
    raw = b''.join(b'\x00' + rgb8[y].tobytes() for y in range(h))

    def chunk(kind, body):
        return (struct.pack('>I', len(body)) + kind + body +
                struct.pack('>I', zlib.crc32(kind + body) & 0xFFFFFFFF))

    with open(path, 'wb') as f:
        f.write(b'\x89PNG\r\n\x1a\n')
        f.write(chunk(b'IHDR', struct.pack('>IIBBBBB', w, h, 8, 2, 0, 0, 0)))
        f.write(chunk(b'IDAT', zlib.compress(raw, 6)))
        f.write(chunk(b'IEND', b''))


def block_argmax(values, size):
    """Top-left corner of the size x size block (on a half-block grid) with the largest sum."""
    h, w = values.shape
    best, at = -1.0, (0, 0)
    step = max(1, size // 2)
    for y in range(0, max(1, h - size + 1), step):
        for x in range(0, max(1, w - size + 1), step):
            s = float(values[y:y + size, x:x + size].sum())
            if s > best:
                best, at = s, (y, x)
    return at


def crops_png(path, ours, ahd, size):
    h, w, _ = ours.shape
    size = min(size, h, w)
    grey = ahd.mean(axis=2)
    detail = np.abs(np.diff(grey, axis=0))[:, :-1] + np.abs(np.diff(grey, axis=1))[:-1, :]
    diff = np.abs(ours - ahd).sum(axis=2)
    inner = np.zeros_like(diff)
    inner[BORDER:h - BORDER, BORDER:w - BORDER] = diff[BORDER:h - BORDER, BORDER:w - BORDER]
    places = [((h - size) // 2, (w - size) // 2), block_argmax(detail, size),
              block_argmax(inner, size)]
    rows = []
    for y, x in places:
        a = ours[y:y + size, x:x + size]
        b = ahd[y:y + size, x:x + size]
        d = np.clip(np.abs(a - b) * 8, 0, 65535)
        gap = np.full((size, 4, 3), 65535, dtype=np.int32)
        rows.append(np.concatenate([a, gap, b, gap, d], axis=1))
        rows.append(np.full((4, rows[-1].shape[1], 3), 65535, dtype=np.int32))
    picture = np.concatenate(rows[:-1], axis=0)
    picture = picture.repeat(2, axis=0).repeat(2, axis=1)
    write_png(path, (picture // 257).astype(np.uint8))
    return places


def main():
    shared = os.path.join(here, '..', '..', 'shared', 'fixtures', 'raw')
    defaults = [os.path.normpath(os.path.join(shared, n)) for n in
                ('canon-powershot-g2.crw', 'canon-powershot-s40.crw', 'nikon-d1.nef',
                 'kodak-dc50.kdc')]
    ap = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    ap.add_argument('files', nargs='*', default=defaults)
    ap.add_argument('--raw2dpx', default=os.path.join(here, '..', 'build', 'cli', 'raw2dpx'))
    ap.add_argument('--out',
                    default=os.path.normpath(os.path.join(here, '..', 'build', 'real-sensor-diff')))
    ap.add_argument('--crop', type=int, default=160)
    ap.add_argument('--color-space', default='rec709', choices=('rec709', 'linear'))
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)

    print(f'colour space {args.color_space}; mean |rcd - ahd| in 16-bit codes per channel R G B')
    print(f'{"file":28} {"size":>10}  {"whole picture":>20}  {"without border":>20}  '
          f'{"mean rcd - ahd":>20}')
    for raw in args.files:
        name = os.path.splitext(os.path.basename(raw))[0]
        if not os.path.exists(raw):
            print(f'{name}: not found ({raw})', file=sys.stderr)
            continue
        with tempfile.TemporaryDirectory() as tmp:
            pictures = {}
            for demosaic in ('rcd', 'ahd'):
                folder = os.path.join(tmp, demosaic)
                run = subprocess.run([args.raw2dpx, '--demosaic', demosaic, '--color-space',
                                      args.color_space, '--overwrite', 'always', raw, '-o',
                                      folder], capture_output=True, text=True)
                if run.returncode != 0:
                    sys.exit(f'{raw}: raw2dpx --demosaic {demosaic} failed:\n{run.stderr}')
                pictures[demosaic] = read_dpx(os.path.join(folder, name + '.dpx'))
        ours, ahd = pictures['rcd'], pictures['ahd']
        h, w, _ = ours.shape
        delta = ours - ahd
        whole = np.abs(delta).mean(axis=(0, 1))
        inner = np.abs(delta[BORDER:h - BORDER, BORDER:w - BORDER]).mean(axis=(0, 1))
        bias = delta[BORDER:h - BORDER, BORDER:w - BORDER].mean(axis=(0, 1))
        fmt = lambda v: ' '.join(f'{x:6.1f}' for x in v)
        print(f'{name:28} {w:>5}x{h:<4}  {fmt(whole):>20}  {fmt(inner):>20}  {fmt(bias):>20}')
        png = os.path.join(args.out, name + '-crops.png')
        places = crops_png(png, ours, ahd, args.crop)
        print(f'  crops (y, x): centre {places[0]}, most detail {places[1]}, '
              f'largest difference {places[2]} -> {png}')


if __name__ == '__main__':
    main()
