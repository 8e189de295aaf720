#!/usr/bin/env bash
# The library as a host meets it: installed into a temporary prefix, which is then moved so that
# nothing can depend on where it was built; every public header compiled alone, strictly, with
# g++ and clang++; examples/host built with CMake (the README's lines only) and with pkg-config,
# under -Wall -Wextra -Werror; both run against the sample package, attaching the view before
# and after the start. Nothing of the source tree is reachable from the installed library, and
# the host's standard output must stay empty.
#   scripts/check-host.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=$(cd "${1:-build}" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/orsa-host-XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "== example host: $*" >&2; exit 1; }

cmake --install "$BUILD" --prefix "$work/installed" >/dev/null
mv "$work/installed" "$work/prefix"
P=$work/prefix

for h in "$P"/include/orsa/*.h; do
  for cxx in g++ clang++-14; do
    echo "#include <orsa/$(basename "$h")>" |
      $cxx -std=c++20 -Wall -Wextra -Wpedantic -Wshadow -Werror -fsyntax-only -x c++ \
        -I"$P/include" - || fail "$(basename "$h") does not compile alone with $cxx"
  done
done

cp -r "$ROOT/examples/host" "$work/src"
cmake -S "$work/src" -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$P" \
  -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" >/dev/null || fail "CMake cannot configure it"
cmake --build "$work/cmake-build" -- --quiet || fail "CMake cannot build it"

pc=$(dirname "$(find "$P" -name orsa-mirelo.pc | head -n 1)")
[ -n "$pc" ] || fail "no orsa-mirelo.pc installed"
flags=$(PKG_CONFIG_PATH=$pc pkg-config --cflags --libs orsa-mirelo)
case "$flags" in *-D*) fail "pkg-config pushes definitions into the host: $flags" ;; esac
# shellcheck disable=SC2086
g++ -std=c++20 -Wall -Wextra -Werror "$work/src/main.cpp" $flags -o "$work/pc-host" ||
  fail "it does not build with pkg-config's flags ($flags)"
libdir=$(dirname "$(find "$P" -name 'liborsa-mirelo.so*' | head -n 1)")

"$BUILD/orsa" sample-package "$work/sample.zip" --frames 25 >/dev/null 2>&1 ||
  fail "no sample package"
config=$("$BUILD/orsa" config encode --id sample-presenter \
  --stream room,stream-1,0,https://packages.invalid/presenters/sample.zip,mobile)

# From a folder of its own, with no variable pointing at the data.
cd "$work"
run() { # name, program, extra arguments...
  local name=$1 prog=$2
  shift 2
  if ! env -u ORSA_RESOURCE_DIR -u ORSA_HOME LD_LIBRARY_PATH="$libdir" timeout 120 "$prog" \
    --home "$work/home-$name" --package "$work/sample.zip" --config "$config" \
    --stream stream-1 --frames 25 --seconds "${HOST_SECONDS:-2}" "$@" \
    >"$work/$name.out" 2>"$work/$name.err"; then
    cat "$work/$name.err" >&2
    fail "$name: no head was presented"
  fi
  [ ! -s "$work/$name.out" ] || fail "$name: standard output was written: $(head -c 300 "$work/$name.out")"
  echo "== example host ($name): $(tail -n 1 "$work/$name.err")" >&2
}
run cmake "$work/cmake-build/orsa-host-example"
run pkg-config "$work/pc-host" --attach-late

# Without its shader library the view cannot draw, and the host is told so. (Skipped where the
# configured prefix holds an installed copy, which the library would find instead.)
configured=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$BUILD/CMakeCache.txt")
if [ ! -e "$configured/share/orsa-mirelo/OrsaDigitalHumanShader.glsl" ]; then
  rm "$P/share/orsa-mirelo/OrsaDigitalHumanShader.glsl"
  if env -u ORSA_RESOURCE_DIR -u ORSA_HOME timeout 120 "$work/cmake-build/orsa-host-example" \
    --home "$work/home-noshader" --package "$work/sample.zip" --config "$config" \
    --stream stream-1 --frames 25 --seconds 1 >"$work/noshader.out" 2>"$work/noshader.err"; then
    fail "a view without its shader library presented heads"
  fi
  grep -q "engine error -200010" "$work/noshader.err" ||
    fail "a view without its shader library did not tell the host: $(cat "$work/noshader.err")"
  [ ! -s "$work/noshader.out" ] || fail "standard output was written without a shader"
  echo "== example host (no shader library): the host was told" >&2
fi
