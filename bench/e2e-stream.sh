#!/usr/bin/env bash
# The head as hosts really get it, beside the in-process sender, in one run: a 512x640 head at
# 25 fps into a 540x960@1 layer, (a) from `orsa demo`'s simulated sender in the same process,
# (b) encoded by `orsa stream send` (libx264, zero latency), sent over loopback RTP, received,
# decoded and handed over by `orsa demo --input`. Glass to glass is the sender's picture moment
# to presentation: for (a) the intake stamp, for (b) the send time carried in the SEI message.
# CPU per drawn frame: the demo process, and for (b) the sender process too. Recording is off.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${ORSA_BUILD_DIR:-build}
TOOL=$BUILD/orsa
[ -x "$TOOL" ] || { echo "orsa tool not built in $BUILD" >&2; exit 1; }
SECONDS_PER_RUN=${SECONDS_PER_RUN:-30}
export LP_NUM_THREADS=${LP_NUM_THREADS:-2}

WORK=${TMPDIR:-/tmp}/orsa-bench-stream
mkdir -p "$WORK"
PACKAGE=$WORK/package-1080x1920.zip
[ -f "$PACKAGE" ] || "$TOOL" --home "$WORK/home" sample-package "$PACKAGE" --size 1080x1920 \
  --head 512x640 --frames 50 2>/dev/null

python3 - "$TOOL" "$WORK" "$PACKAGE" "$SECONDS_PER_RUN" <<'PY'
import json, os, resource, socket, subprocess, sys, time

tool, work, package, seconds = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4]
home = os.path.join(work, "home")
layer = ["--layer", "540x960@1", "--no-record"]

def cpu_children():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (r.ru_utime + r.ru_stime) * 1000

def stats(out):
    with open(os.path.join(out, "stats.json")) as f:
        return json.load(f)

def free_port():
    while True:
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1] & ~1
        s.close()
        try:
            for p in (port, port + 1):
                t = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                t.bind(("127.0.0.1", p))
                t.close()
            return port
        except OSError:
            pass

# (a) in process.
out_a = os.path.join(work, "out-in-process")
subprocess.run([tool, "--home", home, "demo", "--package", package, "--seconds", seconds,
                "--fps", "25", "--out", out_a] + layer, check=True,
               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
a = stats(out_a)

# (b) over RTP: the SDP from a short first run, the receiver listening, then the stream.
port = free_port()
to, sdp = f"rtp://127.0.0.1:{port}", os.path.join(work, "stream.sdp")
send = [tool, "--home", home, "stream", "send", "--package", package, "--to", to, "--sdp", sdp,
        "--fps", "25"]
subprocess.run(send + ["--seconds", "0.2"], check=True, stdout=subprocess.DEVNULL,
               stderr=subprocess.DEVNULL)
out_b = os.path.join(work, "out-rtp")
err_path = os.path.join(work, "demo.err")
with open(err_path, "w") as err:
    demo = subprocess.Popen([tool, "--home", home, "demo", "--package", package, "--input", sdp,
                             "--out", out_b] + layer, stdout=subprocess.DEVNULL, stderr=err)
    deadline = time.time() + 300
    while "receiving" not in open(err_path).read():
        if demo.poll() is not None or time.time() > deadline:
            sys.exit("orsa demo --input did not start:\n" + open(err_path).read())
        time.sleep(0.1)
    before = cpu_children()
    sender = subprocess.run(send + ["--seconds", seconds], check=True, capture_output=True,
                            text=True)
    sender_cpu = cpu_children() - before
    if demo.wait(timeout=120) != 0:
        sys.exit("orsa demo --input failed:\n" + open(err_path).read())
b = stats(out_b)
sent = json.loads(sender.stdout)

def row(name, s, g2g, sender_ms):
    drawn = max(1, s["framesDrawn"])
    demo_ms = s["cpuMsPerFrame"]
    send_ms = sender_ms / drawn if sender_ms is not None else 0.0
    print(f"{name:<12} {s['framesDrawn']:>6} {g2g['p50']:>8} {g2g['p99']:>8} {demo_ms:>10.2f} "
          f"{send_ms:>10.2f} {demo_ms + send_ms:>10.2f}")
    return g2g, demo_ms + send_ms

print(f"{'road':<12} {'drawn':>6} {'p50 ms':>8} {'p99 ms':>8} {'demo ms/fr':>10} "
      f"{'send ms/fr':>10} {'total':>10}")
ga, ca = row("in-process", a, a["latencyMs"], None)
gb, cb = row("rtp", b, b["glassToGlassMs"] or {"p50": 0, "p99": 0}, sender_cpu)
print(f"rtp: {sent['framesSent']} sent, {b['framesReceived']} received, {b['framesLost']} lost, "
      f"{b['framesMispaired']} mispaired")
print(f"ratio rtp/in-process: p50 {gb['p50'] / max(1, ga['p50']):.2f}x, "
      f"p99 {gb['p99'] / max(1, ga['p99']):.2f}x, cpu {cb / max(0.01, ca):.2f}x")
PY
