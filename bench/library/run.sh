#!/usr/bin/env bash
# The general library beside Python, in one hyperfine run: split of 10 MB of text (str.split),
# replace/all over it (str.replace), and mod plus modulo on 10^5 integer and float pairs (%).
# Each side builds its data first, so the build-only scripts are timed too and the net times
# are reported. On demand only.
#   bench/library/run.sh [path/to/kiv]      default: build/Release/kiv
# RUNS=... sets the run count; PYTHON=... another CPython.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
kiv="$(realpath "${1:-$here/../../build/Release/kiv}")"
runs="${RUNS:-10}"
python="${PYTHON:-$(command -v /usr/bin/python3 || command -v python3)}"
command -v hyperfine >/dev/null || { echo "missing: hyperfine" >&2; exit 1; }
cd "$here"
export PYTHONDONTWRITEBYTECODE=1  # mod.py imports pairs.py
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
hyperfine -N --warmup 1 --runs "$runs" --export-json "$out/library.json" \
  "$kiv build.kiv" "$kiv split.kiv" "$kiv replace.kiv" "$kiv pairs.kiv" "$kiv mod.kiv" \
  "$python build.py" "$python split.py" "$python replace.py" "$python pairs.py" "$python mod.py"
python3 - "$out/library.json" <<'PY'
import json, sys
r = {x["command"].split()[-1]: x["mean"] for x in json.load(open(sys.argv[1]))["results"]}
print()
for name, base, what in [("split", "build", "split, 10 MB"), ("replace", "build", "replace/all, 10 MB"),
                         ("mod", "pairs", "mod + modulo, 10^5 pairs")]:
    k = r[name + ".kiv"] - r[base + ".kiv"]
    p = r[name + ".py"] - r[base + ".py"]
    print(f"{what:26}: kiv {k*1000:8.1f} ms, python {p*1000:8.1f} ms net, ratio x{k/p:.2f}")
PY
