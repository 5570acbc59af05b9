#!/usr/bin/env bash
# Date arithmetic against CPython's datetime: 10^6 additions of a day and 10^6 differences of two
# dates, in one hyperfine run with each interpreter's start-up (an empty script) measured beside it
# and subtracted. On demand only (never in CI).
#   bench/date/run.sh [path/to/kiv]      default: build/Release/kiv
# Needs hyperfine and python3. PYTHON=... picks another CPython, RUNS=... the run count.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
kiv="$(realpath "${1:-$here/../../build/Release/kiv}")"
runs="${RUNS:-10}"
python="${PYTHON:-$(command -v /usr/bin/python3 || python3 -c 'import sys; print(sys.executable)')}"
for tool in hyperfine "$python"; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
cd "$here"
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
hyperfine -N --warmup 2 --runs "$runs" --export-json "$out/date.json" \
  "$kiv add.kiv" "$kiv empty.kiv" "$python add.py" "$python empty.py"

python3 - "$out/date.json" <<'PY'
import json, sys
m = {r["command"].split()[-1]: r["mean"] for r in json.load(open(sys.argv[1]))["results"]}
k = m["add.kiv"] - m["empty.kiv"]
p = m["add.py"] - m["empty.py"]
print()
print(f"start-up      : kiv {m['empty.kiv']*1000:6.1f} ms   CPython {m['empty.py']*1000:6.1f} ms")
print(f"10^6 add+diff : kiv {k*1000:6.1f} ms   CPython {p*1000:6.1f} ms   x{k/p:.2f} CPython (below 1.0: kiv is faster)")
PY
