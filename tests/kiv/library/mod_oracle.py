#!/usr/bin/env python3
"""Seeded random cases for mod and modulo, with Python's % as the oracle.

    mod_oracle.py N [SEED]   prints N lines "a b a%b a%|b|" (half integers, half floats)
"""
import random
import sys


def main():
    n = int(sys.argv[1])
    rng = random.Random(int(sys.argv[2]) if len(sys.argv) > 2 else 1)
    out = []
    for i in range(n):
        if i % 2:
            a = rng.randint(-10**9, 10**9)
            b = rng.choice([1, -1]) * rng.randint(1, rng.choice([10, 1000, 10**9]))
        else:
            a = rng.uniform(-1e6, 1e6) * rng.choice([1, 1e-3, 1e3])
            b = rng.choice([1, -1]) * rng.uniform(1e-3, 1e3)
        out.append(f"{a!r} {b!r} {a % b!r} {a % abs(b)!r}")
    print("\n".join(out))


main()
