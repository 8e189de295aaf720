#!/usr/bin/env bash
# Runs every benchmark: the programs without a peer, then the comparison scripts, each of
# which runs ours and the peer in one invocation and prints the ratio.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${ORSA_BUILD_DIR:-build}
for b in bench_logging bench_buffer_pool bench_frame_store bench_render bench_download_db bench_data_task; do
  echo "== $b"
  "$BUILD/bench/$b"
done
for s in bench/compare-*.sh; do
  echo "== $s"
  ORSA_BUILD_DIR=$BUILD bash "$s"
done
echo "== bench_intake"
"$BUILD/bench/bench_intake"
echo "== bench/e2e-demo.sh"
ORSA_BUILD_DIR=$BUILD bash bench/e2e-demo.sh
echo "== bench/e2e-stream.sh"
ORSA_BUILD_DIR=$BUILD bash bench/e2e-stream.sh
