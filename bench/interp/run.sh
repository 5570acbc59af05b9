#!/usr/bin/env bash
# Interpreter speed against CPython and Lua 5.4 running the same programs, in one hyperfine run;
# each interpreter's empty run (its start-up) is subtracted from its times. On demand only (never
# in CI).
#   bench/interp/run.sh [path/to/kiv] [program ...]     default: build/Release/kiv, every program
# Needs hyperfine, python3 and lua5.4 (apt-get install hyperfine lua5.4). PYTHON=... picks another
# CPython (the distribution's by default: one installed through a version manager can be a slower
# build), RUNS=... the run count. The figure of each command is its fastest run: on a shared
# machine the others measure the load.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
kiv="$(realpath "${1:-$here/../../build/Release/kiv}")"
shift || true
runs="${RUNS:-10}"
python="${PYTHON:-$(command -v /usr/bin/python3 || python3 -c 'import sys; print(sys.executable)')}"
for tool in hyperfine "$python" lua5.4; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
programs=("$@")
[ ${#programs[@]} -gt 0 ] || programs=(fib fib-return calls method path loop repeat while foreach-block
  foreach-string while-block switch case append string-build)
cd "$here"
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
commands=("$kiv empty.kiv" "$python empty.py" "lua5.4 empty.lua")
for p in "${programs[@]}"; do
  commands+=("$kiv $p.kiv")
  [ -e "$p.py" ] && commands+=("$python $p.py")
  [ -e "$p.lua" ] && commands+=("lua5.4 $p.lua")
done
hyperfine -N --warmup 1 --runs "$runs" --export-json "$out/all.json" "${commands[@]}" >&2

# Ratios of the fastest runs less start-up: kiv against each peer (below 1.0: kiv is faster).
python3 - "$out/all.json" "${programs[@]}" <<'PY'
import json, math, sys
results = json.load(open(sys.argv[1]))["results"]
best = {}
for r in results:
    exe, script = r["command"].split()[0], r["command"].split()[-1]
    lang = "kiv" if script.endswith(".kiv") else "py" if script.endswith(".py") else "lua"
    best[(lang, script.rsplit(".", 1)[0])] = min(r["times"])
def net(lang, name):
    return max(best[(lang, name)] - best[(lang, "empty")], 1e-4)
ratios = []
print(f"{'program':16} {'kiv ms':>8} {'python ms':>10} {'lua ms':>8} {'x CPython':>10} {'x Lua':>7}")
for name in sys.argv[2:]:
    k = net("kiv", name)
    py = net("py", name) if ("py", name) in best else None
    lua = net("lua", name) if ("lua", name) in best else None
    rp = k / py if py else None
    if rp and name != "fib-return":
        ratios.append(rp)
    print(f"{name:16} {k*1000:8.1f} {py*1000 if py else float('nan'):10.1f} {lua*1000 if lua else float('nan'):8.1f}"
          f" {rp if rp else float('nan'):10.2f} {k/lua if lua else float('nan'):7.2f}")
if ratios:
    print(f"geometric mean against CPython ({len(ratios)} programs, fib-return aside): "
          f"{math.exp(sum(map(math.log, ratios)) / len(ratios)):.2f}")
PY
