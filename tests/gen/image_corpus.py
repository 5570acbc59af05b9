#!/usr/bin/env python3
"""Makes the decode corpus of tests/kiv/io/images.kiv with ImageMagick's convert.

Usage: image_corpus.py DIR

Every file is made from one picture (a pattern with a transparent square and two half-transparent
stripes) in one form of its format. Beside each, ImageMagick's own reading of it: NAME.rgb (R, G, B
bytes of every pixel) and NAME.alpha (255 - alpha: the language's alpha, 0 opaque). DIR/manifest
lists them as Kiv data: file, how to compare, size. The comparison is exact, or psnr (at least
40 dB) for lossy formats, or near (each byte within 1) where 16 bits are cut to 8, which the other
program rounds its own way.
"""
import os
import subprocess
import sys

W, H = 40, 30


def picture(alpha=True, shift=0):
    """Netpbm PAM bytes of the pattern."""
    rows = bytearray()
    for y in range(H):
        for x in range(W):
            r, g, b = (x * 6 + shift) & 255, (y * 8) & 255, (x * y * 3 + 40) & 255
            a = 255
            if alpha:
                if 4 <= x < 12 and 4 <= y < 12:
                    a = 0
                elif y in (20, 21):
                    a = 128
                elif x in (30, 31):
                    a = 77
            rows += bytes((r, g, b, a))
    head = f"P7\nWIDTH {W}\nHEIGHT {H}\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n"
    return head.encode() + rows


# name, how to compare, convert options before the output, output prefix, source
CASES = [
    ("png-rgba.png", "exact", [], "PNG32:", "base"),
    ("png-palette.png", "exact", ["-colors", "60"], "PNG8:", "base"),
    ("png-grey.png", "exact", ["-alpha", "off", "-colorspace", "Gray", "-define", "png:color-type=0"], "PNG:", "base"),
    ("png-grey-alpha.png", "exact", ["-colorspace", "Gray", "-define", "png:color-type=4"], "PNG:", "base"),
    ("png-bilevel.png", "exact", ["-alpha", "off", "-type", "Bilevel"], "PNG:", "base"),
    ("png-16.png", "near", ["-depth", "16"], "PNG64:", "gradient"),
    ("png-interlaced.png", "exact", ["-interlace", "PNG"], "PNG32:", "base"),
    ("jpeg-baseline.jpg", "psnr", ["-alpha", "off", "-quality", "92"], "JPEG:", "base"),
    ("jpeg-progressive.jpg", "psnr", ["-alpha", "off", "-quality", "92", "-interlace", "Plane"], "JPEG:", "base"),
    ("jpeg-cmyk.jpg", "psnr", ["-alpha", "off", "-quality", "92", "-colorspace", "CMYK"], "JPEG:", "base"),
    ("jpeg-grey.jpg", "psnr", ["-alpha", "off", "-quality", "92", "-colorspace", "Gray"], "JPEG:", "base"),
    ("gif-animated.gif", "exact", [], "GIF:", "frames"),
    ("tiff-strips.tif", "exact", ["-compress", "None", "-define", "tiff:rows-per-strip=4"], "TIFF:", "base"),
    ("tiff-tiled.tif", "exact", ["-compress", "None", "-define", "tiff:tile-geometry=16x16"], "TIFF:", "base"),
    ("tiff-lzw.tif", "exact", ["-compress", "LZW"], "TIFF:", "base"),
    ("tiff-jpeg.tif", "psnr", ["-alpha", "off", "-compress", "JPEG", "-quality", "92"], "TIFF:", "base"),
    ("bmp-1.bmp", "exact", ["-alpha", "off", "-type", "Bilevel"], "BMP3:", "base"),
    ("bmp-4.bmp", "exact", ["-alpha", "off", "-colors", "16", "-type", "Palette"], "BMP3:", "base"),
    ("bmp-8.bmp", "exact", ["-alpha", "off", "-colors", "200", "-type", "Palette", "-compress", "None"], "BMP3:", "base"),
    ("bmp-rle8.bmp", "exact", ["-alpha", "off", "-colors", "200", "-type", "Palette", "-compress", "RLE"], "BMP3:", "base"),
    ("bmp-16.bmp", "exact", ["-alpha", "off", "-define", "bmp:subtype=RGB565"], "BMP:", "base"),
    ("bmp-24.bmp", "exact", ["-alpha", "off", "-type", "TrueColor"], "BMP3:", "base"),
    ("bmp-32.bmp", "exact", ["-type", "TrueColorAlpha"], "BMP:", "base"),
]


def run(*args):
    subprocess.run(["convert", *args], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    base = os.path.join(out, "base.pam")
    with open(base, "wb") as f:
        f.write(picture())
    second = os.path.join(out, "second.pam")
    with open(second, "wb") as f:
        f.write(picture(alpha=False, shift=100))
    # Sixteen bits a sample with values that are not byte multiples, so scaling down is tested.
    gradient = os.path.join(out, "gradient.png")
    run("-size", f"{W}x{H}", "gradient:#102030-#F0E0D0", "-depth", "16", "PNG48:" + gradient)
    manifest = []
    for name, kind, options, prefix, source in CASES:
        path = os.path.join(out, name)
        if source == "frames":
            # GIF keeps one transparent colour: alpha is cut at the half.
            run("-delay", "10", base, "-channel", "A", "-threshold", "50%", "+channel", second, "-loop", "0",
                prefix + path)
        else:
            run({"base": base, "gradient": gradient}[source], *options, prefix + path)
        rgba = path + ".rgba"
        run(path + "[0]", "-depth", "8", "RGBA:" + rgba)
        with open(rgba, "rb") as f:
            data = f.read()
        os.remove(rgba)
        size = subprocess.run(["identify", "-format", "%wx%h", path + "[0]"], check=True, capture_output=True,
                              text=True).stdout.strip()
        with open(path + ".rgb", "wb") as f:
            f.write(bytes(b for i, b in enumerate(data) if i % 4 != 3))
        with open(path + ".alpha", "wb") as f:
            f.write(bytes(255 - b for b in data[3::4]))
        manifest.append(f"%{name} {kind} {size}")
    with open(os.path.join(out, "manifest"), "w") as f:
        f.write("\n".join(manifest) + "\n")


if __name__ == "__main__":
    main()
