#!/usr/bin/env bash
# A 1 GB file read and written whole, as bytes and as text, with the peak resident memory of each
# run: a file is held once as bytes (read straight into the binary!), and about twice as text (the
# bytes read, then the string made from them). Too large for the test suite; on demand only.
#   bench/files/big.sh [path/to/kiv]      default: build/Release/kiv
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
kiv="$(realpath "${1:-$here/../../build/Release/kiv}")"
python="${PYTHON:-$(command -v /usr/bin/python3 || command -v python3)}"
data="$(mktemp -d)"
trap 'rm -rf "$data"' EXIT
head -c 1073741824 /dev/zero | tr '\0' 'x' > "$data/1gb"
cd "$here"
"$python" - "$kiv" "$data" <<'PY'
import os, resource, subprocess, sys, time
kiv, d = sys.argv[1], sys.argv[2]
env = dict(os.environ, BENCH_IN=f"{d}/1gb", BENCH_OUT=f"{d}/out", DISPLAY="", WAYLAND_DISPLAY="")
for script in ("copy-bytes.kiv", "copy-text.kiv"):
    start = time.monotonic()
    # Each run in a child of its own, so that the peak is that run's alone.
    peak = subprocess.run([sys.executable, "-c",
        "import resource, subprocess, sys; subprocess.run(sys.argv[1:], check=True); "
        "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)", kiv, script],
        env=env, check=True, capture_output=True, text=True).stdout.split()[-1]
    same = os.path.getsize(f"{d}/out") == os.path.getsize(f"{d}/1gb")
    print(f"{script:16s} {time.monotonic() - start:6.2f} s   peak RSS {int(peak) / 1024:7.0f} MB   "
          f"{'copied whole' if same else 'COPY DIFFERS'}")
    os.remove(f"{d}/out")
PY
