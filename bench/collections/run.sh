#!/usr/bin/env bash
# Collections against CPython and Lua 5.4 running the same programs: a million-entry map! built and
# read back (integer and text keys) against a dict and a table; element-wise arithmetic on a
# ten-million-element vector! against a loop over a Python array; and select on a 100,000-value
# hash! against the same block! (within kiv). On demand only (never in CI).
#   bench/collections/run.sh [path/to/kiv]      default: build/Release/kiv
# Needs hyperfine, python3 and lua5.4. PYTHON=... picks another CPython, RUNS=... the run count.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
kiv="${1:-$here/../../build/Release/kiv}"
kiv="$(realpath "$kiv")"
runs="${RUNS:-5}"
python="${PYTHON:-$(command -v /usr/bin/python3 || python3 -c 'import sys; print(sys.executable)')}"
for tool in hyperfine "$python" lua5.4; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
cd "$here"
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT

compare() {  # name, then commands
  local name="$1"; shift
  hyperfine -N --warmup 1 --runs "$runs" --export-json "$out/$name.json" "$@"
}
compare map "$kiv map.kiv" "$python map.py" "lua5.4 map.lua"
compare map-text "$kiv map-text.kiv" "$python map-text.py" "lua5.4 map-text.lua"
compare vector "$kiv vector.kiv" "$python vector.py"

# Ratios of the means: kiv against each peer (below 1.0: kiv is faster).
python3 - "$out" <<'PY'
import json, sys, os
d = sys.argv[1]
def means(name):
    r = json.load(open(os.path.join(d, name + ".json")))["results"]
    return {x["command"].split()[-1]: x["mean"] for x in r}
print()
for name in ("map", "map-text"):
    m = means(name)
    k = m[name + ".kiv"]
    print(f"{name:9} 1M : {k*1000:8.1f} ms   x{k/m[name + '.py']:.2f} CPython   x{k/m[name + '.lua']:.2f} Lua")
m = means("vector")
k = m["vector.kiv"]
print(f"vector 10M x20 ops : {k*1000:8.1f} ms   x{k/m['vector.py']:.4f} CPython array loop")
PY
echo
"$kiv" select.kiv
