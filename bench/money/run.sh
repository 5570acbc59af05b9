#!/usr/bin/env bash
# One million money! additions against Python's decimal.Decimal, in one hyperfine run. Each side
# also runs the same loop over integers, so the time of the additions alone (net of the loop and
# the start-up) is reported beside the whole runs. On demand only.
#   bench/money/run.sh [path/to/kiv]      default: build/Release/kiv
# RUNS=... sets the run count; PYTHON=... another CPython.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
kiv="$(realpath "${1:-$here/../../build/Release/kiv}")"
runs="${RUNS:-10}"
python="${PYTHON:-$(command -v /usr/bin/python3 || command -v python3)}"
command -v hyperfine >/dev/null || { echo "missing: hyperfine" >&2; exit 1; }
cd "$here"
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
hyperfine -N --warmup 2 --runs "$runs" --export-json "$out/money.json" \
  "$kiv add.kiv" "$kiv loop.kiv" "$python add.py" "$python loop.py"
python3 - "$out/money.json" <<'PY'
import json, sys
r = {x["command"].split()[-1]: x["mean"] for x in json.load(open(sys.argv[1]))["results"]}
k, p = r["add.kiv"], r["add.py"]
kn, pn = k - r["loop.kiv"], p - r["loop.py"]
print()
print(f"money! additions      : {k*1000:7.1f} ms whole run, {kn*1000:7.1f} ms beyond the integer loop")
print(f"decimal.Decimal       : {p*1000:7.1f} ms whole run, {pn*1000:7.1f} ms beyond the integer loop")
print(f"ratio kiv / Python    : x{k/p:.2f} whole runs, x{kn/pn:.2f} net")
PY
