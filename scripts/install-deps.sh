#!/usr/bin/env bash
# Installs the Debian packages Seafold needs: with no argument, what building
# and running the programs need (scripts/run.sh, scripts/package.sh); with
# --test, also what the tests, benchmarks, fuzzing and measurement tools need
# (scripts/test.sh). Idempotent and non-interactive: packages already present
# are skipped.
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake pkg-config python3
  # network foundation
  libtomcrypt-dev libtommath-dev
  # the join password's key exchange (ristretto255 group operations)
  libsodium-dev
  # command line of both programs; JSON lines of the event log
  libcli11-dev nlohmann-json3-dev
  # renderer, GUI and input
  libogre-1.12-dev libcegui-mk2-dev libcegui-mk2-data libois-dev
  # display check of the windowed program; PNG writing of the media generator
  libx11-dev zlib1g-dev
  # sound
  libopenal-dev
  # voice between Seafold peers: the Opus codec, and noise suppression, gain,
  # voice detection and resampling for captured sound
  libopus-dev libspeexdsp-dev
  # the manual pages, written from each program's --help
  help2man
)

test_packages=(
  # tests and benchmarks; sanitizer runtimes and libFuzzer
  libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev
  # display-less runs of the windowed program and its tests
  xvfb xauth xdotool imagemagick
  # voice tests: speech synthesis, audio conversion and an independent LPC-10 codec
  espeak-ng sox libspandsp-dev
  # the side-by-side benchmark against another reliable-UDP library
  libenet-dev
  # the intelligibility measure of the measurement tools
  python3-numpy
  # microphone and end-to-end voice tests: a private sound server with a null sink
  pulseaudio pulseaudio-utils
  # LAN tests: network namespaces, veth pairs and a bridge ("ip")
  iproute2
  # the package test: lintian's checks of the Debian package
  lintian
)

case "${1:-}" in
  --test) packages+=("${test_packages[@]}") ;;
  "") ;;
  *) echo "usage: $0 [--test]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#packages[@]} packages present"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
