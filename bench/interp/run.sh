#!/usr/bin/env bash
# Interpreter speed against CPython and Lua 5.4 running the same programs, one hyperfine run per
# program family. On demand only (never in CI).
#   bench/interp/run.sh [path/to/kiv]      default: build/Release/kiv
# Needs hyperfine, python3 and lua5.4 (apt-get install hyperfine lua5.4). PYTHON=... picks another
# CPython, RUNS=... the run count. Run it on a quiet machine: the ratios are what it reports.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
kiv="${1:-$here/../../build/Release/kiv}"
kiv="$(realpath "$kiv")"
runs="${RUNS:-10}"
# The interpreter binary itself: a version-manager shim in front of it would add its own start-up.
python="${PYTHON:-$(command -v /usr/bin/python3 || python3 -c 'import sys; print(sys.executable)')}"
for tool in hyperfine "$python" lua5.4; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
cd "$here"
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT

compare() {  # name, then commands
  local name="$1"; shift
  hyperfine -N --warmup 2 --runs "$runs" --export-json "$out/$name.json" "$@"
}
compare fib "$kiv fib.kiv" "$kiv fib-return.kiv" "$python fib.py" "lua5.4 fib.lua"
compare loop "$kiv loop.kiv" "$python loop.py" "$python loop-local.py" "lua5.4 loop.lua"
compare while "$kiv while.kiv" "$python while.py" "$python while-local.py" "lua5.4 while.lua"

# Ratios of the means: kiv against each peer (below 1.0: kiv is faster).
python3 - "$out" <<'PY'
import json, sys, os
d = sys.argv[1]
def means(name):
    r = json.load(open(os.path.join(d, name + ".json")))["results"]
    return {x["command"].split()[-1]: x["mean"] for x in r}
f = means("fib")
print()
print(f"fib 27 (either) : {f['fib.kiv']*1000:7.1f} ms   x{f['fib.kiv']/f['fib.py']:.2f} CPython   x{f['fib.kiv']/f['fib.lua']:.2f} Lua")
print(f"fib 27 (return) : {f['fib-return.kiv']*1000:7.1f} ms   x{f['fib-return.kiv']/f['fib.kiv']:.2f} the either version")
# CPython twice: n global as in the Kiv program, and n a local of a function (its fastest form).
for name in ("loop", "while"):
    m = means(name)
    k = m[name + ".kiv"]
    print(f"{name:5} 10M       : {k*1000:7.1f} ms   x{k/m[name + '.py']:.2f} CPython (global)"
          f"   x{k/m[name + '-local.py']:.2f} CPython (local)   x{k/m[name + '.lua']:.2f} Lua")
PY
