#!/usr/bin/env python3
"""KIVBIN encode and decode of a large value graph beside Python's pickle and marshal, in one run.

    bench/kivbin_bench.py BENCH-BINARY [--mb 50]

BENCH-BINARY is bench-kivbin_bench from a build with -DKIV_BENCH=ON (Release for figures worth
reading). It builds a block of records (an integer, a string, a word, an object with an id, a name,
a block of three words and a nested object) whose compact encoding is about --mb megabytes, and
times encode and decode in both forms (best of three). Python builds the same graph as lists and
dicts (words as strings) and times pickle (highest protocol) and marshal the same way.

MB/s is the size of each format's own output over the time; the ratios compare the times on the
same graph (above 1: KIVBIN is faster).
"""
import argparse
import marshal
import pickle
import subprocess
import time

NAMES = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta"]
RECORD_BYTES = 80  # as in kivbin_bench.cpp


def graph(records):
    return [[i, "name-%d" % i, NAMES[i % 8],
             {"id": i, "name": "item-%d" % i, "tags": [NAMES[(i + k) % 8] for k in range(3)],
              "child": {"x": i, "y": "leaf"}}]
            for i in range(records)]


def best_of_three(f):
    best = float("inf")
    for _ in range(3):
        t = time.perf_counter()
        f()
        best = min(best, time.perf_counter() - t)
    return best


def python_rows(records):
    g = graph(records)
    rows = []
    for name, dumps, loads in (("pickle", lambda v: pickle.dumps(v, pickle.HIGHEST_PROTOCOL), pickle.loads),
                               ("marshal", marshal.dumps, marshal.loads)):
        data = dumps(g)
        rows.append((name, "encode", best_of_three(lambda: dumps(g)), len(data)))
        rows.append((name, "decode", best_of_three(lambda: loads(data)), len(data)))
    return rows


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("bench")
    ap.add_argument("--mb", type=int, default=50)
    a = ap.parse_args()
    out = subprocess.run([a.bench, str(a.mb)], capture_output=True, text=True, check=True).stdout
    rows = [(f, op, float(s), int(n)) for f, op, s, n in (line.split() for line in out.splitlines())]
    rows += python_rows((a.mb << 20) // RECORD_BYTES)
    times = {(f, op): s for f, op, s, _ in rows}
    print("%-16s %-7s %9s %12s %9s %12s %12s" % ("format", "op", "seconds", "bytes", "MB/s", "vs pickle", "vs marshal"))
    for f, op, s, n in rows:
        print("%-16s %-7s %9.3f %12d %9.1f %12.2f %12.2f" % (
            f, op, s, n, n / s / 1e6, times[("pickle", op)] / s, times[("marshal", op)] / s))


if __name__ == "__main__":
    main()
