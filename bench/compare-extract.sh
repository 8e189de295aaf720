#!/usr/bin/env bash
# Extracts every frame of the same 1080x1920 H.264 video (made by `orsa sample-package`) into
# numbered JPEG files with our extractor and with ffmpeg, best of several runs each, and prints
# both times, the ratio, and ffmpeg's decode-only time as the floor.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${ORSA_BUILD_DIR:-build}
BIN=$BUILD/bench/bench_extract
[ -x "$BIN" ] || BIN=$(find "$BUILD" -name bench_extract -type f -perm -u+x | head -n1)
[ -x "$BIN" ] || { echo "bench_extract not built in $BUILD" >&2; exit 1; }
TOOL=$BUILD/orsa
[ -x "$TOOL" ] || { echo "orsa tool not built in $BUILD" >&2; exit 1; }
command -v ffmpeg >/dev/null || { echo "ffmpeg not installed" >&2; exit 1; }

WORK=${TMPDIR:-/tmp}/orsa-bench-extract-compare
RUNS=${RUNS:-3}
FRAMES=${FRAMES:-300}
ENCODERS=${ENCODERS:-0}
mkdir -p "$WORK"
VIDEO=$WORK/origin.mp4
if [ ! -f "$VIDEO" ] || [ "$(cat "$WORK/frames" 2>/dev/null)" != "$FRAMES" ]; then
  "$TOOL" sample-package "$WORK/package.zip" --size 1080x1920 --frames "$FRAMES" 2>/dev/null
  unzip -o -q "$WORK/package.zip" origin.mp4 -d "$WORK"
  echo "$FRAMES" >"$WORK/frames"
fi
cat "$VIDEO" >/dev/null

now() { date +%s.%N; }
best() { echo "$1 $2 $3" | awk '{d=$1-$2; print (d<$3)?d:$3}'; }
best_ours=999999
best_peer=999999
best_floor=999999
for i in $(seq "$RUNS"); do
  rm -rf "$WORK/ours" "$WORK/peer"
  mkdir -p "$WORK/ours" "$WORK/peer"
  t0=$(now); "$BIN" --once "$VIDEO" "$WORK/ours" "$ENCODERS" 2>/dev/null >"$WORK/ours.log"; t1=$(now)
  t2=$(now); ffmpeg -v error -threads 0 -i "$VIDEO" -q:v 3 "$WORK/peer/%06d.jpg"; t3=$(now)
  t4=$(now); ffmpeg -v error -threads 0 -i "$VIDEO" -f null -; t5=$(now)
  best_ours=$(best "$t1" "$t0" "$best_ours")
  best_peer=$(best "$t3" "$t2" "$best_peer")
  best_floor=$(best "$t5" "$t4" "$best_floor")
done
ours_n=$(find "$WORK/ours" -name '*.jpg' | wc -l)
peer_n=$(find "$WORK/peer" -name '*.jpg' | wc -l)
# ffmpeg numbers its files from 1, we from 0; the counts must agree.
[ "$ours_n" = "$peer_n" ] || { echo "frame counts differ: ours $ours_n, ffmpeg $peer_n" >&2; exit 1; }
ours_mb=$(du -sb "$WORK/ours" | awk '{printf "%.1f", $1 / 1048576}')
peer_mb=$(du -sb "$WORK/peer" | awk '{printf "%.1f", $1 / 1048576}')
rm -rf "$WORK/ours" "$WORK/peer"
awk -v o="$best_ours" -v p="$best_peer" -v f="$best_floor" -v n="$ours_n" -v om="$ours_mb" \
  -v pm="$peer_mb" -v c="$(nproc)" 'BEGIN {
  printf "extract %d frames 1080x1920 on %d cores: orsa %.2f s (%s MB, 4:4:4 q80), ffmpeg %.2f s (%s MB, 4:2:0 q:v 3), ratio %.2f (target 0.75); decode-only floor %.2f s (ratio %.2f)\n",
         n, c, o, om, p, pm, o / p, f, f / p }'
