#!/usr/bin/env bash
# The main job, on the built-in sample. Until the view and the runtimes exist, it shows what
# the engine can do today: a start configuration made and read back.
set -euo pipefail
cd "$(dirname "$0")/.."
ORSA=build/orsa
export ORSA_HOME=${ORSA_HOME:-$PWD/build/demo-home}
mkdir -p "$ORSA_HOME"

echo "== orsa config encode"
config=$("$ORSA" config encode --id demo-human \
  --stream demo-room,demo-stream,h264,file:///sample/package.zip,mobile)
echo "$config"
echo "== orsa config decode"
"$ORSA" config decode "$config"
