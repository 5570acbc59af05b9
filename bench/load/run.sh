#!/usr/bin/env bash
# load of a 10 MB generated script beside Python's ast.literal_eval of the same data in Python
# syntax, in one run: integers, floats, strings and nested blocks (lists), written once by
# Python in both syntaxes.
#   bench/load/run.sh [path/to/kiv]      default: build/Release/kiv
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
kiv="$(realpath "${1:-$here/../../build/Release/kiv}")"
python="${PYTHON:-$(command -v /usr/bin/python3 || command -v python3)}"
data="$(mktemp -d)"
trap 'rm -rf "$data"' EXIT
"$python" - "$data" <<'PY'
import random, sys
d = sys.argv[1]
rng = random.Random(24)
kiv, py = ["Kiv []\n"], ["["]
size = 0
while size < 10_000_000:
    n = rng.randint(1, 8)
    ints = [rng.randint(-10**9, 10**9) for _ in range(n)]
    floats = [round(rng.uniform(-1e6, 1e6), 3) for _ in range(n)]
    text = "".join(rng.choice("abcdefghij klmnop") for _ in range(rng.randint(0, 20)))
    k = "[" + " ".join(map(str, ints)) + " [" + " ".join(map(repr, floats)) + '] "' + text + '"]\n'
    p = "[" + ", ".join(map(str, ints)) + ", [" + ", ".join(map(repr, floats)) + "], " + repr(text) + "],\n"
    kiv.append(k)
    py.append(p)
    size += len(k)
py.append("]")
open(f"{d}/data.kiv", "w").write("".join(kiv))
open(f"{d}/data.py", "w").write("".join(py))
PY
cd "$here"
export BENCH_IN="$data/data.kiv" BENCH_PY="$data/data.py" DISPLAY= WAYLAND_DISPLAY=
t() { local s e; s=$(date +%s.%N); "$@" >/dev/null; e=$(date +%s.%N); echo "$s $e" | awk '{printf "%.3f", $2 - $1}'; }
k=$(t "$kiv" load.kiv)
p=$(t "$python" load.py)
echo "load of 10 MB:  kiv ${k} s   python ast.literal_eval ${p} s   ratio kiv/python $(echo "$k $p" | awk '{printf "%.2f", $1 / $2}')"
