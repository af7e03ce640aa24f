#!/usr/bin/env bash
# Two clean builds of this tree, in folders of different names and depths,
# each installed stripped into a staging folder as a firmware build does:
# the staged trees must hold bin/kelvorn alone, with no RUNPATH, and the two
# binaries must be byte-identical. The build tree's own binary must find the
# stand-in store relative to itself, and only there.
#   install_check.sh SOURCE_DIR [TOOLCHAIN_FILE]
set -euo pipefail
src=$1
toolchain=()
[[ -n ${2:-} ]] && toolchain=(-DCMAKE_TOOLCHAIN_FILE="$2")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for build in "$work/one" "$work/second/build"; do
  cmake -S "$src" -B "$build" "${toolchain[@]}" -DKELVORN_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" -j "$(nproc)" >/dev/null
  DESTDIR=$build/stage cmake --install "$build" --prefix /usr --strip >/dev/null
done

status=0
for build in "$work/one" "$work/second/build"; do
  # An empty RUNPATH entry would have the loader search the current folder.
  # (An old-style RPATH where the C library's loader reads only that one.)
  runpath=$(readelf -d "$build/kelvorn" | sed -n 's/.*(R\(UN\)\{0,1\}PATH).*\[\(.*\)\]/\2/p')
  if [[ $runpath != '$ORIGIN/'* || $runpath == *: || $runpath == *::* ]]; then
    echo "FAILED: the build tree's kelvorn has RUNPATH '$runpath'"
    status=1
  fi
  staged=$(cd "$build/stage" && find . -type f | sort)
  if [[ $staged != "./usr/bin/kelvorn" ]]; then
    echo "FAILED: staged files are not just usr/bin/kelvorn:" $staged
    status=1
  fi
  if readelf -d "$build/stage/usr/bin/kelvorn" | grep -qE 'RPATH|RUNPATH'; then
    echo "FAILED: the installed kelvorn keeps a RUNPATH"
    status=1
  fi
done
if ! cmp "$work/one/stage/usr/bin/kelvorn" "$work/second/build/stage/usr/bin/kelvorn"; then
  echo "FAILED: two clean builds differ"
  status=1
fi
[[ $status -eq 0 ]] && echo "passed: one staged file, no RUNPATH, identical builds, \$ORIGIN RUNPATH in the build tree"
exit $status
