#!/usr/bin/env bash
# File reading and writing against CPython in one hyperfine run: a 200 MB file read, and read then
# written, as bytes and as text (net write times are the differences), and read/lines of a file of
# 1 million lines. The data is made in a temporary folder and removed afterwards. On demand only.
#   bench/files/run.sh [path/to/kiv]      default: build/Release/kiv
# RUNS=... sets the run count; PYTHON=... another CPython; TMPDIR=... where the data goes.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
kiv="$(realpath "${1:-$here/../../build/Release/kiv}")"
runs="${RUNS:-5}"
python="${PYTHON:-$(command -v /usr/bin/python3 || command -v python3)}"
command -v hyperfine >/dev/null || { echo "missing: hyperfine" >&2; exit 1; }
cd "$here"
data="$(mktemp -d)"
trap 'rm -rf "$data"' EXIT
# 200 MB of text in lines of 64 bytes (UTF-8, a few characters beyond ASCII), and 1 million lines.
"$python" - "$data" <<'PY'
import sys
d = sys.argv[1]
line = ("line of text é ü " * 4)[:60] + "\n"
with open(f"{d}/200mb.txt", "w", encoding="utf-8") as f:
    block = line * 16384
    size = len(block.encode())
    for _ in range(200 * 1024 * 1024 // size):
        f.write(block)
with open(f"{d}/lines.txt", "w", encoding="utf-8") as f:
    f.write("".join(f"{i} the quick brown fox\n" for i in range(1_000_000)))
PY
export DISPLAY= WAYLAND_DISPLAY=
big="BENCH_IN=$data/200mb.txt BENCH_OUT=$data/out"
hyperfine -N --warmup 1 --runs "$runs" --export-json "$data/files.json" \
  -n kiv-read-bytes  "env $big $kiv read-bytes.kiv"  -n py-read-bytes  "env $big $python read-bytes.py" \
  -n kiv-copy-bytes  "env $big $kiv copy-bytes.kiv"  -n py-copy-bytes  "env $big $python copy-bytes.py" \
  -n kiv-read-text   "env $big $kiv read-text.kiv"   -n py-read-text   "env $big $python read-text.py" \
  -n kiv-copy-text   "env $big $kiv copy-text.kiv"   -n py-copy-text   "env $big $python copy-text.py" \
  -n kiv-read-lines  "env BENCH_IN=$data/lines.txt $kiv read-lines.kiv" \
  -n py-read-lines   "env BENCH_IN=$data/lines.txt $python read-lines.py"
"$python" - "$data/files.json" <<'PY'
import json, sys
r = {x["command"]: x["mean"] for x in json.load(open(sys.argv[1]))["results"]}
rows = [
    ("read 200 MB as bytes", r["kiv-read-bytes"], r["py-read-bytes"]),
    ("write 200 MB as bytes (net)", r["kiv-copy-bytes"] - r["kiv-read-bytes"], r["py-copy-bytes"] - r["py-read-bytes"]),
    ("read 200 MB as text", r["kiv-read-text"], r["py-read-text"]),
    ("write 200 MB as text (net)", r["kiv-copy-text"] - r["kiv-read-text"], r["py-copy-text"] - r["py-read-text"]),
    ("read/lines 1 million lines", r["kiv-read-lines"], r["py-read-lines"]),
]
print()
for name, k, p in rows:
    print(f"{name:30s} kiv {k*1000:8.1f} ms   python {p*1000:8.1f} ms   x{k/p:.2f}")
PY
