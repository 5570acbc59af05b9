#!/usr/bin/python3
"""Image codecs beside Pillow, in one run: PNG and JPEG encode and decode of a 4000x3000 picture, and
a nearest-neighbour resize to half size.

    bench/image_bench.py BENCH-BINARY

BENCH-BINARY is bench-image_bench from a build with -DKIV_BENCH=ON (Release for figures worth
reading). It times its own codecs (best of three) and leaves the files it wrote; Pillow then decodes
those same files and encodes the decoded picture with the same settings (PNG at compression level
6; JPEG at quality 90, 4:2:0, from RGB since JPEG holds no alpha). Both sit on the same C
libraries. The ratio is Pillow's time over ours: above 1, ours is faster.
"""
import io
import subprocess
import sys
import tempfile
import time

from PIL import Image


def best_of_three(f):
    best = float("inf")
    for _ in range(3):
        t = time.perf_counter()
        f()
        best = min(best, time.perf_counter() - t)
    return best


def pillow_rows(folder):
    rows = []
    for codec, suffix, save in (("png", "png", dict(format="PNG", compress_level=6)),
                                ("jpeg", "jpg", dict(format="JPEG", quality=90, subsampling="4:2:0"))):
        data = open(f"{folder}/bench.{suffix}", "rb").read()
        decoded = [None]

        def decode():
            im = Image.open(io.BytesIO(data))
            im.load()
            decoded[0] = im

        rows.append((codec, "decode", best_of_three(decode), len(data)))
        picture = decoded[0].convert("RGBA" if codec == "png" else "RGB")
        out = [b""]

        def encode():
            buf = io.BytesIO()
            picture.save(buf, **save)
            out[0] = buf.getvalue()

        rows.append((codec, "encode", best_of_three(encode), len(out[0])))
        if codec == "png":
            half = [None]
            rows.append(("nearest", "resize", best_of_three(
                lambda: half.__setitem__(0, picture.resize((2000, 1500), Image.NEAREST))), 2000 * 1500 * 4))
    return rows


def main():
    with tempfile.TemporaryDirectory() as folder:
        out = subprocess.run([sys.argv[1], folder], capture_output=True, text=True, check=True).stdout
        ours = {(c, op): (float(s), int(n)) for c, op, s, n in (line.split() for line in out.splitlines())}
        theirs = pillow_rows(folder)
    print("%-8s %-7s %10s %10s %12s %12s %7s" % ("codec", "op", "kiv s", "Pillow s", "kiv bytes", "Pillow bytes",
                                               "ratio"))
    for codec, op, s, n in theirs:
        mine, mine_n = ours[(codec, op)]
        print("%-8s %-7s %10.4f %10.4f %12d %12d %7.2f" % (codec, op, mine, s, mine_n, n, s / mine))


if __name__ == "__main__":
    main()
