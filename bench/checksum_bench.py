#!/usr/bin/env python3
"""CRC-32 of 100 MB through the language beside Python's zlib.crc32, in one run.

    bench/checksum_bench.py KIV [--mb 100] [--runs 5]

kiv runs a script that makes the data (100 MB of one repeated 251-byte pattern, built by doubling)
and then takes its CRC-32 either 5 times or 5 + `--runs` times; the difference of the two process
times, divided by `--runs`, is the time of one checksum (median of five pairs). Python takes
zlib.crc32 of the same bytes (best of `--runs`). Both checksums are compared.
"""
import argparse
import os
import subprocess
import tempfile
import time
import zlib

SCRIPT = """Kiv []
pattern: #{}
repeat n 251 [append pattern n - 1]
data: copy pattern
while [(length? data) < %d] [append data data]
data: copy/part data %d
%s
"""


def run_kiv(kiv, body, mb):
    n = mb << 20
    with tempfile.NamedTemporaryFile("w", suffix=".kiv", delete=False) as f:
        f.write(SCRIPT % (n, n, body))
        path = f.name
    try:
        t = time.perf_counter()
        out = subprocess.run([kiv, path], capture_output=True, text=True, check=True).stdout
        return time.perf_counter() - t, out
    finally:
        os.unlink(path)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("kiv")
    ap.add_argument("--mb", type=int, default=100)
    ap.add_argument("--runs", type=int, default=30)
    a = ap.parse_args()
    body = "loop %d [c: checksum data 'crc32]\nprint c"
    times = []
    for _ in range(5):
        base, _ = run_kiv(a.kiv, body % 5, a.mb)
        full, out = run_kiv(a.kiv, body % (5 + a.runs), a.mb)
        times.append(max(full - base, 0) / a.runs)
    best = sorted(times)[len(times) // 2]
    kiv_crc = int(out.split()[-1]) & 0xFFFFFFFF

    pattern = bytes(range(251))
    n = a.mb << 20
    data = (pattern * (n // 251 + 1))[:n]
    py = min(timed(lambda: zlib.crc32(data)) for _ in range(a.runs))
    assert zlib.crc32(data) == kiv_crc, (hex(zlib.crc32(data)), hex(kiv_crc))
    print("CRC-32 of %d MB: kiv %.1f ms (%.2f GB/s), Python zlib.crc32 %.1f ms (%.2f GB/s), kiv/python %.2f"
          % (a.mb, best * 1e3, n / best / 1e9, py * 1e3, n / py / 1e9, best / py))


def timed(f):
    t = time.perf_counter()
    f()
    return time.perf_counter() - t


if __name__ == "__main__":
    main()
