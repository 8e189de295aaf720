#!/usr/bin/env bash
# End to end on this machine's GL: a 1080x1920 package (1080x1920 backgrounds, 512x640 head)
# streamed by `orsa demo`'s simulated RTC sender at 25, 30 and 60 fps into a 540x960@1 layer,
# and the same into 540x960@2 (a 1080x1920 picture) as the stress figure. Recording is off, so
# the CPU figure is the engine's, the sender's and llvmpipe's. One line per run:
# frames sent/drawn/dropped/out of order, latency p50/p99 (intake to presentation), CPU time
# per drawn frame, and pixel buffers the pool allocated per frame once streaming was steady.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${ORSA_BUILD_DIR:-build}
TOOL=$BUILD/orsa
[ -x "$TOOL" ] || { echo "orsa tool not built in $BUILD" >&2; exit 1; }
SECONDS_PER_RUN=${SECONDS_PER_RUN:-60}
export LP_NUM_THREADS=${LP_NUM_THREADS:-2}

WORK=${TMPDIR:-/tmp}/orsa-bench-e2e
mkdir -p "$WORK"
PACKAGE=$WORK/package-1080x1920.zip
[ -f "$PACKAGE" ] || "$TOOL" sample-package "$PACKAGE" --size 1080x1920 --head 512x640 \
  --frames 50 2>/dev/null

printf '%-12s %4s %6s %6s %7s %6s %9s %9s %10s %12s\n' layer fps sent drawn dropped order \
  "p50 ms" "p99 ms" "cpu ms/fr" "allocs/fr"
for layer in 540x960@1 540x960@2; do
  for fps in 25 30 60; do
    out=$WORK/out-$layer-$fps
    "$TOOL" --home "$WORK/home" demo --package "$PACKAGE" --seconds "$SECONDS_PER_RUN" \
      --fps "$fps" --layer "$layer" --no-record --out "$out" >/dev/null 2>"$WORK/stderr" ||
      { cat "$WORK/stderr" >&2; exit 1; }
    python3 - "$out/stats.json" "$layer" "$fps" <<'PY'
import json, sys
s = json.load(open(sys.argv[1]))
print(f"{sys.argv[2]:<12} {sys.argv[3]:>4} {s['framesSent']:>6} {s['framesDrawn']:>6} "
      f"{s['framesDropped']:>7} {s['framesOutOfOrder']:>6} {s['latencyMs']['p50']:>9} "
      f"{s['latencyMs']['p99']:>9} {s['cpuMsPerFrame']:>10} {s['bufferAllocationsPerFrame']:>12.3f}")
PY
  done
done
