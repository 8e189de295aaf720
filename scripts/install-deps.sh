#!/usr/bin/env bash
# The project's whole dependency list lives here. Installs only what is missing,
# non-interactively, with sudo when not root.
set -euo pipefail

PACKAGES=(
  # toolchain
  build-essential cmake ninja-build pkg-config clang-14 libclang-rt-14-dev clang-format-14
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  # platform layer
  libboost-dev nlohmann-json3-dev tzdata
  # logging
  libspdlog-dev libfmt-dev
  # images, archives, hashing
  libturbojpeg0-dev libpng-dev zlib1g-dev libminizip-dev libuchardet-dev libssl-dev
  # video
  libavcodec-dev libavformat-dev libavutil-dev libswscale-dev ffmpeg
  # storage and transfers
  libsqlite3-dev libcurl4-openssl-dev libplist-dev
  # GPU (headless GL ES on EGL; llvmpipe where there is no GPU)
  libegl-dev libgles-dev libegl-mesa0 libgl1-mesa-dri
  # the demo's live window (orsa demo --window)
  libsdl2-dev
  # peers used by tests and benchmarks
  unzip curl nginx-light
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
# apt's own output runs to thousands of lines; it is shown only when something fails.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { $SUDO apt-get update -qq && \
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "installing the packages above failed" >&2
  exit 1
fi
echo "installed ${#missing[@]} packages" >&2
