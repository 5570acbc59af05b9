#!/usr/bin/env python3
"""Differential tests of checksums, base encodings and the seeded random generator.

Python's zlib, hashlib, hmac and base64 (and a small model of the generator below) give the expected
values; the script writes them into .kiv test scripts that kiv runs.

    oracles.py --write            regenerate the small scripts kept in this folder (run in CI)
    oracles.py --run KIV [-n N]   write N cases per script to a temporary folder and run kiv on them
                                  (e.g. -n 10000 for the full differential run)
"""
import argparse
import base64
import hashlib
import hmac
import os
import random
import subprocess
import sys
import tempfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
ASSERT_LIB = os.path.normpath(os.path.join(HERE, "..", "..", "kiv-lib", "assert.kiv"))

DIGESTS = ["md5", "sha1", "sha256", "sha384", "sha512"]
BLOCK = {"md5": 64, "sha1": 64, "sha256": 64, "sha384": 128, "sha512": 128}


def kiv_binary(data):
    return "#{" + data.hex().upper() + "}"


def kiv_string(text):
    out = []
    for ch in text:
        if ch in '"^' or ord(ch) < 32 or ord(ch) == 127:
            out.append("^(%X)" % ord(ch))
        else:
            out.append(ch)
    return '"' + "".join(out) + '"'


def signed32(n):
    n &= 0xFFFFFFFF
    return n - (1 << 32) if n & 0x80000000 else n


def internet_checksum(data):
    total = 0
    for i in range(0, len(data) - 1, 2):
        total += data[i] << 8 | data[i + 1]
    if len(data) % 2:
        total += data[-1] << 8
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def base58(data):
    alphabet = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz"
    zeros = len(data) - len(data.lstrip(b"\0"))
    n = int.from_bytes(data, "big")
    digits = ""
    while n:
        n, r = divmod(n, 58)
        digits = alphabet[r] + digits
    return "1" * zeros + digits


def random_length(rng, big):
    r = rng.random()
    if r < 0.7:
        return rng.randrange(0, 200)
    if r < 0.9:
        return rng.choice([1, 2, 3, 15, 16, 17, 63, 64, 65, 127, 128, 129, 3853, 3854, 3855, 5552, 5553])
    return rng.randrange(200, big)


def random_bytes(rng, n):
    kind = rng.random()
    if kind < 0.1:
        return bytes([0xFF]) * n  # the Adler sums grow fastest
    if kind < 0.2:
        return bytes(n)
    return rng.randbytes(n)


def header(title, lib):
    return 'Kiv [Title: "%s"]\n\n; Written by oracles.py: regenerate it rather than edit it.\n\ndo %%%s\n\n' % (title, lib)


# ---- checksums ----------------------------------------------------------------------------------------


def checksum_script(count, seed, lib, big=20000):
    rng = random.Random(seed)
    rows = []
    for i in range(count):
        if i % 10 == 9:
            # Text: the checksum is taken over its UTF-8.
            text = "".join(rng.choice("ab é€\U0001F600^\"\n") for _ in range(rng.randrange(0, 40)))
            data = text.encode("utf-8")
            literal = kiv_string(text)
        else:
            data = random_bytes(rng, random_length(rng, big))
            literal = kiv_binary(data)
        method = rng.choice(DIGESTS)
        block = BLOCK[method]
        if rng.random() < 0.3:
            # A key given as text is taken as its UTF-8.
            text_key = "".join(rng.choice("kéy€") for _ in range(rng.choice([0, 1, 16, 22, 43, 64, 65, 130])))
            key = text_key.encode("utf-8")
            key_literal = kiv_string(text_key)
        else:
            key = rng.randbytes(rng.choice([0, 1, block - 1, block, block + 1, 2 * block, rng.randrange(0, 300)]))
            key_literal = kiv_binary(key)
        mac = hmac.new(key, data, method).digest()
        fields = [
            literal,
            str(signed32(zlib.crc32(data))),
            str(signed32(zlib.adler32(data))),
            str(internet_checksum(data)),
        ]
        fields += [kiv_binary(hashlib.new(m, data).digest()) for m in DIGESTS]
        fields += [method, key_literal, kiv_binary(mac)]
        rows.append("    " + " ".join(fields))
    body = "cases: [\n" + "\n".join(rows) + "\n]\n\n"
    body += """checked: 0
foreach [data crc adler tcp md5 sha1 sha256 sha384 sha512 method key mac] cases [
    before: failures
    assert-equal [checksum data 'crc32] crc
    assert-equal [checksum data 'adler32] adler
    assert-equal [checksum data 'tcp] tcp
    assert-equal [checksum data 'md5] md5
    assert-equal [checksum data 'sha1] sha1
    assert-equal [checksum data 'sha256] sha256
    assert-equal [checksum data 'sha384] sha384
    assert-equal [checksum data 'sha512] sha512
    assert-equal [checksum/with data method key] mac
    if failures > before [print ["  input:" mold/flat data "method:" method "key:" mold/flat key] break]
    checked: checked + 1
]
assert-equal [checked] %d

assert-done "checksum oracle"
""" % count
    # A key given as text is its UTF-8: only keys that are valid UTF-8 can take that road.
    return header("Checksums against zlib, hashlib and hmac", lib) + body


# ---- base encodings -----------------------------------------------------------------------------------


def enbase_script(count, seed, lib, big=2000):
    rng = random.Random(seed)
    rows = []
    for _ in range(count):
        n = rng.randrange(0, 80) if rng.random() < 0.9 else rng.randrange(80, big)
        data = random_bytes(rng, n)
        if rng.random() < 0.2:
            data = bytes(rng.randrange(0, 4)) + data  # leading zero bytes: base 58 writes them as "1"
        b64 = base64.b64encode(data).decode()
        wrapped = base64.encodebytes(data).decode()  # lines of 76 characters
        rows.append("    %s {%s} {%s} {%s} {%s}" % (kiv_binary(data), b64, wrapped, base58(data), bin_text(data)))
    body = "cases: [\n" + "\n".join(rows) + "\n]\n\n"
    body += """checked: 0
foreach [data b64 wrapped b58 b2] cases [
    before: failures
    assert-equal [enbase data] b64
    assert-equal [enbase/base data 64] b64
    assert-equal [enbase/base data 58] b58
    assert-equal [enbase/base data 2] b2
    assert-equal [enbase/base data 16] enbase/base data 16
    assert-equal [debase b64] data
    assert-equal [debase wrapped] data
    assert-equal [debase/base b58 58] data
    assert-equal [debase/base b2 2] data
    assert-equal [debase/base enbase/base data 16 16] data
    assert-equal [debase/base lowercase enbase/base data 16 16] data
    if failures > before [print ["  input:" mold/flat data] break]
    checked: checked + 1
]
assert-equal [checked] %d

assert-done "enbase oracle"
""" % count
    return header("Base encodings against base64 and a base-58 reference", lib) + body


def bin_text(data):
    return "".join(format(b, "08b") for b in data)


# ---- the random generator -----------------------------------------------------------------------------


class Model:
    """The generator: MT19937's constants with arithmetic (sign-copying) right shifts on signed words."""

    def __init__(self, seed):
        self.seed(seed)

    @staticmethod
    def s32(x):
        x &= 0xFFFFFFFF
        return x - (1 << 32) if x & 0x80000000 else x

    def seed(self, n):
        w = [self.s32(n)]
        for i in range(1, 624):
            p = w[i - 1]
            w.append(self.s32(1812433253 * ((p ^ (p >> 30)) & 0xFFFFFFFF) + i))
        self.w, self.i = w, 0

    def regenerate(self):
        w = self.w
        for k in range(624):
            y = self.s32((w[k] & 0x80000000) | (w[(k + 1) % 624] & 0x7FFFFFFF))
            w[k] = self.s32(w[(k + 397) % 624] ^ (y >> 1) ^ (0x9908B0DF if y & 1 else 0))
        self.i = 0

    def next(self):
        if self.i == 624:
            self.regenerate()
        y = self.w[self.i]
        self.i += 1
        y ^= y >> 11
        y = self.s32(y ^ ((y << 7) & 0x9D2C5680))
        y = self.s32(y ^ ((y << 15) & 0xEFC60000))
        y ^= y >> 18
        return y

    def integer(self, n):
        if n == 0:
            return 0
        if n == -(1 << 31):
            return -1 - self.next()
        neg = n < 0
        n = abs(n)
        limit = (2147483647 // n) * n
        while True:
            d = self.next()
            if d < limit:
                break
        r = d % n + 1
        return -r if neg else r


def random_script(count, seed, lib, big=None):
    rng = random.Random(seed)
    blocks = []
    for _ in range(count):
        s = rng.choice([0, 1, -1, 19650218, 2147483647, -2147483648, rng.randrange(-2**31, 2**31)])
        ranges = [rng.choice([1, 2, 3, -3, 10, 100, 2147483647, -2147483648, 1500000000, -7,
                              rng.randrange(1, 2**31)]) for _ in range(rng.randrange(1, 40))]
        # Long runs reach past the 624th word, where the state is regenerated.
        draws = rng.choice([1, 5, 50, 700, 1300])
        m = Model(s)
        expected = []
        for k in range(draws):
            n = ranges[k % len(ranges)]
            expected.append(m.integer(n))
        blocks.append("    %d [%s] [%s]" % (s, " ".join(map(str, ranges)), " ".join(map(str, expected))))
    body = "cases: [\n" + "\n".join(blocks) + "\n]\n\n"
    body += """checked: 0
foreach [seed ranges expected] cases [
    random/seed seed
    got: make block! length? expected
    loop length? expected [
        append got random pick ranges 1
        ranges: next ranges
        if tail? ranges [ranges: head ranges]
    ]
    assert-equal [got] expected
    checked: checked + 1
]
assert-equal [checked] %d

; The boot seed: a fresh process draws what seeding with 19650218 draws.
assert-equal [random/seed 19650218 a: random 1000 random/seed 19650218 b: random 1000 a = b] true

assert-done "random model"
""" % count
    return header("The seeded generator against its reference model", lib) + body


# ---- driver -------------------------------------------------------------------------------------------

SCRIPTS = [
    ("checksum-oracle.kiv", checksum_script, 60, 1000),
    ("enbase-oracle.kiv", enbase_script, 60, 300),
    ("random-model.kiv", random_script, 12, None),
]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--write", action="store_true", help="regenerate the small scripts in this folder")
    ap.add_argument("--run", metavar="KIV", help="run N cases per script through this kiv executable")
    ap.add_argument("-n", type=int, default=1000, help="cases per script with --run (default 1000)")
    ap.add_argument("--seed", type=int, default=1, help="seed of the inputs with --run")
    args = ap.parse_args()
    if args.write:
        for name, make, count, big in SCRIPTS:
            with open(os.path.join(HERE, name), "w", encoding="utf-8") as f:
                # Small inputs keep the kept scripts small; --run goes up to the large ones.
                f.write(make(count, 2024, "../../kiv-lib/assert.kiv", big))
    if args.run:
        failed = False
        with tempfile.TemporaryDirectory() as tmp:
            for name, make, _, _ in SCRIPTS:
                path = os.path.join(tmp, name)
                n = max(1, args.n // 10) if name.startswith("random") else args.n
                with open(path, "w", encoding="utf-8") as f:
                    f.write(make(n, args.seed, ASSERT_LIB))
                r = subprocess.run([args.run, path], capture_output=True, text=True)
                print(name, n, "cases:", (r.stdout.strip().splitlines() or ["(no output)"])[-1])
                if r.returncode != 0:
                    failed = True
                    print(r.stdout[-3000:], r.stderr[-3000:])
        sys.exit(1 if failed else 0)
    if not (args.write or args.run):
        ap.print_help()


if __name__ == "__main__":
    main()
