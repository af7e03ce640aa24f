#!/usr/bin/env bash
# Two clean builds of this tree, in folders of different names and depths,
# each installed stripped into a staging folder as a firmware build does:
# the staged trees must hold the agent alone, with no RUNPATH, and the two
# binaries must be byte-identical. The second is configured as SDKs do it
# otherwise: an absolute bindir, and a toolchain file of its own that spells
# the processor "MIPS". The build tree's own binary must find the stand-in
# store relative to itself, and only there.
#   install_check.sh SOURCE_DIR [TOOLCHAIN_FILE]
set -euo pipefail
src=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
one=(-DCMAKE_INSTALL_BINDIR=bin) second=(-DCMAKE_INSTALL_BINDIR=/usr/sbin)
if [[ -n ${2:-} ]]; then
  printf 'include(%s)\nset(CMAKE_SYSTEM_PROCESSOR MIPS)\n' "$2" >"$work/sdk.cmake"
  one+=(-DCMAKE_TOOLCHAIN_FILE="$2") second+=(-DCMAKE_TOOLCHAIN_FILE="$work/sdk.cmake")
fi
cmake -S "$src" -B "$work/one" "${one[@]}" -DKELVORN_BUILD_TESTS=OFF >/dev/null
cmake -S "$src" -B "$work/second/build" "${second[@]}" -DKELVORN_BUILD_TESTS=OFF >/dev/null

status=0
for build in "$work/one" "$work/second/build"; do
  cmake --build "$build" -j "$(nproc)" >/dev/null
  DESTDIR=$build/stage cmake --install "$build" --prefix /usr --strip >/dev/null
  # One empty RUNPATH entry at the end is CMake's, which it keeps to edit
  # the path out on install; another would have the loader search the
  # current folder. (An old-style RPATH where the C library's loader reads
  # only that one.)
  runpath=$(readelf -d "$build/kelvorn" | sed -n 's/.*(R\(UN\)\{0,1\}PATH).*\[\(.*\)\]/\2/p')
  if [[ $runpath != '$ORIGIN/'*[^:]: || $runpath == *::* ]]; then
    echo "FAILED: the build tree's kelvorn has RUNPATH '$runpath'"
    status=1
  fi
  staged=$(cd "$build/stage" && find . -type f)
  if [[ $staged != ./usr/bin/kelvorn && $staged != ./usr/sbin/kelvorn ]]; then
    echo "FAILED: staged files are not just the agent:" $staged
    status=1
  fi
  if readelf -d "$build/stage/$staged" | grep -qE 'RPATH|RUNPATH'; then
    echo "FAILED: the installed kelvorn keeps a RUNPATH"
    status=1
  fi
done
if ! cmp "$work/one/stage/usr/bin/kelvorn" "$work/second/build/stage/usr/sbin/kelvorn"; then
  echo "FAILED: two clean builds differ"
  status=1
fi
[[ $status -eq 0 ]] && echo "passed: one staged file, no RUNPATH, identical builds, \$ORIGIN RUNPATH in the build tree"
exit $status
