#!/usr/bin/env bash
# Start-up with the whole library loaded: from exec to the prompt of the no-display loop (kiv reads
# an empty standard input, which hyperfine gives it, so it starts, prints its prompt and ends), in one hyperfine run beside
# `python3 -c pass`, `python3 -S -c pass` and `lua5.4 -e ''`; then the resident memory each has at
# its end (the peak, from /usr/bin/time). On demand only (never in CI).
#   bench/startup/run.sh [path/to/kiv]      default: build/Release/kiv
# Needs hyperfine, python3, lua5.4 and GNU time. RUNS=... sets the run count.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
kiv="$(realpath "${1:-$here/../../build/Release/kiv}")"
runs="${RUNS:-50}"
python="${PYTHON:-$(command -v /usr/bin/python3 || python3 -c 'import sys; print(sys.executable)')}"
for tool in hyperfine "$python" lua5.4 /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
export DISPLAY= WAYLAND_DISPLAY=
hyperfine -N --warmup 5 --runs "$runs" \
  "$kiv" "$python -c pass" "$python -S -c pass" "lua5.4 -e ''"
echo
echo "peak resident memory (KiB):"
for command in "$kiv" "$python -c pass" "$python -S -c pass" "lua5.4 -e ''"; do
  printf '  %-40s %s\n' "$command" "$(eval /usr/bin/time -f %M "$command" </dev/null 2>&1 >/dev/null | tail -1)"
done
