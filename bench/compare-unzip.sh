#!/usr/bin/env bash
# Unpacks the same ~200 MB package with our zip facade and with Info-ZIP's unzip, best of
# several runs each (alternating, page cache warm), and prints both times and the ratio.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${ORSA_BUILD_DIR:-build}
BIN=$BUILD/bench/bench_unzip
[ -x "$BIN" ] || BIN=$(find "$BUILD" -name bench_unzip -type f -perm -u+x | head -n1)
[ -x "$BIN" ] || { echo "bench_unzip not built in $BUILD" >&2; exit 1; }
command -v unzip >/dev/null || { echo "Info-ZIP unzip not installed" >&2; exit 1; }

WORK=${TMPDIR:-/tmp}/orsa-bench-unzip-compare
RUNS=${RUNS:-5}
mkdir -p "$WORK"
ZIP=$WORK/package.zip
[ -f "$ZIP" ] || "$BIN" --make "$ZIP"
cat "$ZIP" >/dev/null

now() { date +%s.%N; }
best_ours=999999
best_peer=999999
for i in $(seq "$RUNS"); do
  rm -rf "$WORK/ours" "$WORK/peer"
  t0=$(now); "$BIN" --once "$ZIP" "$WORK/ours"; t1=$(now)
  t2=$(now); unzip -o -q "$ZIP" -d "$WORK/peer"; t3=$(now)
  best_ours=$(echo "$t1 $t0 $best_ours" | awk '{d=$1-$2; print (d<$3)?d:$3}')
  best_peer=$(echo "$t3 $t2 $best_peer" | awk '{d=$1-$2; print (d<$3)?d:$3}')
done
# Same bytes on both sides, or the timing means nothing.
diff -r "$WORK/ours" "$WORK/peer" >/dev/null || { echo "outputs differ" >&2; exit 1; }
size=$(du -sb "$WORK/ours" | cut -f1)
rm -rf "$WORK/ours" "$WORK/peer"
awk -v o="$best_ours" -v p="$best_peer" -v s="$size" 'BEGIN {
  printf "unzip %.1f MB: orsa %.3f s, Info-ZIP unzip %.3f s, ratio %.2f (limit 1.20)\n",
         s / 1048576, o, p, o / p }'
