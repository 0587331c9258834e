#!/usr/bin/env bash
# The Windows release bundle: both word sizes' driver and programs, the
# installer, the .inf files, a test tone and the guide, in one zip.
#
#   scripts/package-windows.sh [BUILD_DIR [OUT_DIR]]   (default: build-win dist)
#
# Builds x86_64 in BUILD_DIR and i686 in BUILD_DIR32 (as windows-test.sh
# does, so a tested build is packaged as it is), writes
# OUT_DIR/lumivox-VERSION-windows.zip, checks that it holds every file the
# guide (docs/windows.md) names and prints its contents. LUMIVOX_JOBS sets
# the parallel jobs (default: nproc).
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$top/build-win}")
out=$(realpath -m "${2:-$top/dist}")
jobs=${LUMIVOX_JOBS:-$(nproc)}
programs=(lumivox-setup lumivox-play lumivox-record lumivox-volume)

source "$top/scripts/install.sh"
install_missing zip unzip python3

# Builds what the bundle takes from one word size: build_arch DIR ARCH.
build_arch() {
  local dir=$1 arch=$2 targets=(lumivox "${programs[@]}")
  "$top/scripts/windows-deps.sh" "$dir" "$arch"
  cmake -S "$top" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-$arch.cmake" \
    -DLUMIVOX_WINEPREFIX="$dir/wineprefix" >/dev/null
  # lumivox-doctor goes in once the tree has it.
  cmake --build "$dir" --target help | grep -q 'lumivox-doctor$' && targets+=(lumivox-doctor)
  cmake --build "$dir" -j "$jobs" --target "${targets[@]}"
}
build_arch "${build}32" i686
build_arch "$build" x86_64

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
stage=$out/lumivox-$version-windows
zip=$stage.zip
rm -rf "$stage" "$zip"
mkdir -p "$stage/x86"

# Copies one word size's driver and programs into a folder of the bundle,
# without their debugging information (the build keeps it):
# stage_arch DIR TO TRIPLE.
stage_arch() {
  local dir=$1 to=$2 triple=$3
  cp "$dir/driver/LUMIVOX.dll" "$to/"
  for program in "${programs[@]}" lumivox-doctor; do
    local exe
    exe=$(find "$dir/tools" -maxdepth 3 -name "$program.exe" -print -quit)
    if [ -n "$exe" ]; then cp "$exe" "$to/"; fi
  done
  "$triple-strip" --strip-debug "$to"/*.dll "$to"/*.exe
}
stage_arch "$build" "$stage" x86_64-w64-mingw32
stage_arch "${build}32" "$stage/x86" i686-w64-mingw32
cp "$build/packaging/lumivox.inf" "$stage/lumivox.inf"
cp "${build}32/packaging/lumivox-x86.inf" "$stage/x86/lumivox.inf"
cp "$top/docs/windows.md" "$stage/windows.md"

# A two-second 1 kHz tone, 16-bit mono at 22050 Hz, at half scale.
python3 - "$stage/tone.wav" <<'PY'
import math, struct, sys, wave
rate = 22050
with wave.open(sys.argv[1], "wb") as w:
    w.setnchannels(1)
    w.setsampwidth(2)
    w.setframerate(rate)
    w.writeframes(b"".join(struct.pack("<h", int(16384 * math.sin(2 * math.pi * 1000 * i / rate)))
                           for i in range(2 * rate)))
PY

(cd "$out" && zip -q -r -X "$(basename "$zip")" "$(basename "$stage")")

# Every file the guide names must be there.
expected=(lumivox-setup.exe LUMIVOX.dll lumivox-play.exe lumivox-record.exe lumivox-volume.exe
  x86/lumivox-setup.exe x86/LUMIVOX.dll x86/lumivox-play.exe x86/lumivox-record.exe
  x86/lumivox-volume.exe lumivox.inf x86/lumivox.inf tone.wav windows.md)
listing=$(unzip -Z1 "$zip")
for file in "${expected[@]}"; do
  grep -qxF "$(basename "$stage")/$file" <<<"$listing" || {
    echo "package-windows.sh: $file is missing from $zip" >&2
    exit 1
  }
done
unzip -l "$zip"
echo "package-windows.sh: $zip"
