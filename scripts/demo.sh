#!/usr/bin/env bash
# The main job on the built-in sample. Until the view and the runtimes exist it shows what the
# engine does today: a resource package made from nothing, prepared into the cache as a
# runtime would, and a start configuration made and read back.
set -euo pipefail
cd "$(dirname "$0")/.."
ORSA="$PWD/build/orsa"
export ORSA_HOME=${ORSA_HOME:-$PWD/build/demo-home}
mkdir -p "$ORSA_HOME"
PACKAGE="$ORSA_HOME/Documents/sample-package.zip"
mkdir -p "$(dirname "$PACKAGE")"

echo "== orsa sample-package"
"$ORSA" sample-package "$PACKAGE"
echo
echo "== orsa package inspect"
"$ORSA" package inspect "$PACKAGE"
echo
echo "== orsa package prepare"
"$ORSA" package prepare "$PACKAGE"
echo
echo "== orsa config encode"
config=$("$ORSA" config encode --id demo-human \
  --stream demo-room,demo-stream,h264,"file://$PACKAGE",mobile)
echo "$config"
echo
echo "== orsa config decode"
"$ORSA" config decode "$config"
echo
echo "== orsa logs read (last lines)"
"$ORSA" logs read | tail -n 8
echo
echo "app container: $ORSA_HOME"
