#!/usr/bin/env bash
# The main job: the engine started from a start configuration, fed by a simulated RTC sender,
# compositing the sample presenter into a preview view; what the view presented is recorded.
# Sized for CI: a few seconds at sizes a two-core machine without a GPU draws in full.
# Extra arguments go to `orsa demo` (e.g. --seconds 30 --layer 540x960@1 --head-view).
set -euo pipefail
cd "$(dirname "$0")/.."
ORSA="$PWD/build/orsa"
export ORSA_HOME=${ORSA_HOME:-$PWD/build/demo-home}
OUT=${ORSA_DEMO_OUT:-$PWD/build/demo-out}
mkdir -p "$ORSA_HOME"

"$ORSA" demo --seconds "${DEMO_SECONDS:-5}" --out "$OUT" "$@"
echo
echo "composite video: $OUT/composite.mp4"
echo "contact sheet:   $OUT/contact-sheet.png"
echo "statistics:      $OUT/stats.json"
echo "app container:   $ORSA_HOME (the sample package is in Documents; 'build/orsa --home $ORSA_HOME logs read' shows the engine's log)"
