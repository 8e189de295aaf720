#!/usr/bin/env bash
# Downloads over loopback from a private nginx, `orsa download` against curl in one run:
#  - one 200 MB file: `orsa download` vs `curl -s -o` (wall time ratio, CPU ms per MB);
#  - 50 files of 1 MB: `orsa download --max 4` vs `curl --parallel --parallel-max 4`.
# Each side runs REPEAT times (default 3), alternating; the medians are compared. Every
# `orsa download` run gets a fresh container, so nothing is served from an earlier run.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${ORSA_BUILD_DIR:-build}
TOOL=$(realpath "$BUILD/orsa")
[ -x "$TOOL" ] || { echo "orsa tool not built in $BUILD" >&2; exit 1; }
NGINX=${NGINX:-/usr/sbin/nginx}
[ -x "$NGINX" ] || { echo "nginx not installed (nginx-light)" >&2; exit 1; }
REPEAT=${REPEAT:-3}

WORK=$(mktemp -d "${TMPDIR:-/tmp}/orsa-bench-download.XXXXXX")
cleanup() {
  [ -f "$WORK/nginx/nginx.pid" ] && kill "$(cat "$WORK/nginx/nginx.pid")" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

mkdir -p "$WORK/www/small" "$WORK/nginx/logs"
head -c $((200 * 1024 * 1024)) /dev/urandom >"$WORK/www/big.bin"
for i in $(seq 1 50); do head -c $((1024 * 1024)) /dev/urandom >"$WORK/www/small/$i.bin"; done

PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
USER_LINE=""
[ "$(id -u)" = 0 ] && USER_LINE="user root;"
cat >"$WORK/nginx/nginx.conf" <<EOF
$USER_LINE
worker_processes 1;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/logs/error.log;
events { worker_connections 256; }
http {
  access_log off;
  client_body_temp_path $WORK/nginx/body;
  proxy_temp_path $WORK/nginx/proxy;
  fastcgi_temp_path $WORK/nginx/fastcgi;
  uwsgi_temp_path $WORK/nginx/uwsgi;
  scgi_temp_path $WORK/nginx/scgi;
  sendfile on;
  server { listen 127.0.0.1:$PORT; root $WORK/www; }
}
EOF
"$NGINX" -p "$WORK/nginx" -c "$WORK/nginx/nginx.conf" -e "$WORK/nginx/logs/error.log"
for _ in $(seq 50); do curl -s -o /dev/null "http://127.0.0.1:$PORT/small/1.bin" && break; sleep 0.1; done
BASE=http://127.0.0.1:$PORT

# "wall user+sys" seconds of one command (its output discarded).
timed() {
  python3 - "$@" <<'PY'
import resource, subprocess, sys, time
t = time.monotonic()
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
wall = time.monotonic() - t
r = resource.getrusage(resource.RUSAGE_CHILDREN)
print(f"{wall:.3f} {r.ru_utime:.3f} {r.ru_stime:.3f}")
PY
}

median() { sort -n | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }

run_case() {
  local name=$1 mb=$2
  shift 2
  local ours=() peer=() ourcpu=()
  for r in $(seq "$REPEAT"); do
    rm -rf "$WORK/home" "$WORK/curl-out"
    mkdir -p "$WORK/curl-out"
    # Whoever calls fsync first pays for the file system's pending writes, the other side's
    # included; each run starts from a flushed file system.
    sync
    read -r w u s < <(timed "$TOOL" --home "$WORK/home" download "${OURS[@]}")
    ours+=("$w")
    ourcpu+=("$(python3 -c "print(($u + $s) * 1000 / $mb)")")
    sync
    read -r w _ _ < <(cd "$WORK/curl-out" && timed "${PEER[@]}")
    peer+=("$w")
  done
  local o p c
  o=$(printf '%s\n' "${ours[@]}" | median)
  p=$(printf '%s\n' "${peer[@]}" | median)
  c=$(printf '%s\n' "${ourcpu[@]}" | median)
  printf '%-26s orsa %7.2f s   curl %7.2f s   ratio %5.2f   orsa cpu %6.2f ms/MB\n' \
    "$name" "$o" "$p" "$(python3 -c "print($o / $p)")" "$c"
}

echo "orsa download vs curl over loopback from nginx (median of $REPEAT)"
OURS=("$BASE/big.bin")
PEER=(curl -s -o big.bin "$BASE/big.bin")
run_case "1 x 200 MB" 200

OURS=()
PEER=(curl -s --parallel --parallel-max 4)
for i in $(seq 1 50); do
  OURS+=("$BASE/small/$i.bin")
  PEER+=(-o "$i.bin" "$BASE/small/$i.bin")
done
OURS+=(--max 4)
run_case "50 x 1 MB, 4 at a time" 50
