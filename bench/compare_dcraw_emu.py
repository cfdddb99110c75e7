#!/usr/bin/env python3
"""Compares our full-size DPX output with LibRaw's own reference renderer, dcraw_emu, run with
the same settings, for every RAW file in a folder (and its subfolders).

  bench/compare_dcraw_emu.py [--bench build/bench/tarn_bench] [FOLDER]

FOLDER defaults to ../shared/fixtures/raw. Prints, per file and rendering, the maximum and mean
absolute difference in 16-bit units, computed by oiiotool --diff. Files that neither tool can
develop (the damaged fixtures) are listed as such.
"""
import argparse
import pathlib
import re
import subprocess
import sys
import tempfile

RAW_SUFFIXES = {".cr2", ".cr3", ".crw", ".nef", ".kdc", ".dng", ".arw", ".raf", ".orf", ".rw2",
                ".pef", ".srw", ".3fr", ".iiq", ".mos", ".erf", ".mrw", ".x3f", ".dcr"}
RENDERINGS = {
    # name: (our flag, dcraw_emu gamma arguments)
    "rec709": ([], ["-g", "2.222", "4.5"]),
    "linear": (["--linear"], ["-g", "1", "1"]),
}


def diff_16bit(ours, reference):
    out = subprocess.run(["oiiotool", str(ours), str(reference), "--diff"], capture_output=True,
                         text=True).stdout
    mean = re.search(r"Mean error = ([0-9.e+-]+)", out)
    peak = re.search(r"Max error\s*= ([0-9.e+-]+)", out)
    if "PASS" in out and not peak:
        return 0.0, 0.0
    if not mean or not peak:
        raise RuntimeError("oiiotool --diff gave no figures:\n" + out)
    return float(peak.group(1)) * 65535, float(mean.group(1)) * 65535


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    here = pathlib.Path(__file__).resolve().parent
    parser.add_argument("--bench", default=str(here.parent / "build/bench/tarn_bench"))
    parser.add_argument("folder", nargs="?", default=str(here.parent.parent / "shared/fixtures/raw"))
    args = parser.parse_args()

    files = sorted(p for p in pathlib.Path(args.folder).rglob("*")
                   if p.suffix.lower() in RAW_SUFFIXES)
    print(f"{'file':48} {'rendering':9} {'size':>11} {'max':>6} {'mean':>7}")
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        for raw in files:
            for name, (flags, gamma) in RENDERINGS.items():
                ours, ref = tmp / "ours.dpx", tmp / "ref.tiff"
                for stale in (ours, ref):
                    stale.unlink(missing_ok=True)
                mine = subprocess.run([args.bench, "convert", str(raw), str(ours), *flags],
                                      capture_output=True, text=True)
                # dcraw_emu exits with 0 even when it fails: look for its output instead.
                subprocess.run(["dcraw_emu", "-6", "-W", "-c", "0", "-w", "-o", "1", *gamma,
                                "-q", "3", "-T", "-Z", str(ref), str(raw)], capture_output=True)
                label = str(raw.relative_to(args.folder))
                if not ours.exists() or not ref.exists():
                    why = mine.stderr.strip().splitlines()[-1:] or ["-"]
                    print(f"{label:48} {name:9} not developed (ours: {why[0]};"
                          f" dcraw_emu: {'ok' if ref.exists() else 'failed'})")
                    continue
                info = subprocess.run(["oiiotool", "--info", str(ours)], capture_output=True,
                                      text=True).stdout
                size = re.search(r"(\d+) x\s+(\d+)", info)
                peak, mean = diff_16bit(ours, ref)
                print(f"{label:48} {name:9} {size.group(1) + 'x' + size.group(2):>11}"
                      f" {peak:6.0f} {mean:7.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
