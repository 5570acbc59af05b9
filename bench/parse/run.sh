#!/usr/bin/env bash
# Splitting 10 MB of comma-separated text: parse with collect/keep against Python's re.split, in
# one hyperfine run. Each side builds the same text first (kiv cannot read files yet), so the
# build-only scripts are timed too and the net split time is reported. On demand only.
#   bench/parse/run.sh [path/to/kiv]      default: build/Release/kiv
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
hyperfine -N --warmup 2 --runs "$runs" --export-json "$out/split.json" \
  "$kiv split.kiv" "$kiv build.kiv" "$python split.py" "$python build.py"
python3 - "$out/split.json" <<'PY'
import json, sys
r = {x["command"].split()[-1]: x["mean"] for x in json.load(open(sys.argv[1]))["results"]}
k = r["split.kiv"] - r["build.kiv"]
p = r["split.py"] - r["build.py"]
print()
print(f"parse (collect/keep)  : {k*1000:7.1f} ms net ({r['split.kiv']*1000:.1f} ms whole run)")
print(f"re.split              : {p*1000:7.1f} ms net ({r['split.py']*1000:.1f} ms whole run)")
print(f"ratio parse / re.split: x{k/p:.2f}")
PY
