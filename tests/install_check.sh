#!/usr/bin/env bash
# What a firmware build stages, from CMake and from the Makefile:
# - two clean CMake builds, in folders of different names and depths, each
#   installed stripped as a firmware build does: the agent alone, no
#   RUNPATH, the two byte-identical. The second is configured as SDKs do it
#   otherwise: an absolute bindir, and a toolchain file of its own that
#   spells the processor "MIPS". The first build tree's own binary finds the
#   stand-in store relative to itself, and only there;
# - an SDK's configure: a toolchain file that includes ours (prefix /usr, no
#   RPATH), an SDK's flags line, warnings as errors. It must link the C
#   library LIBC, keep the SDK's hardening (a C library without a canary
#   refuses the stack protector at configure) and warn of nothing;
#   claiming another C library must fail at configure;
# - the Makefile with the same compiler and flags, and with none beside the
#   CMake build without RPATH: the same bytes each (CMake's RPATH-built
#   agent keeps that path's dead text in .dynstr); it refuses a bad host.
#   install_check.sh SOURCE_DIR LIBC [TOOLCHAIN_FILE]
set -euo pipefail
src=$1 libc=$2 toolchain=${3:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAILED: $*"; status=1; }
one=(-DCMAKE_INSTALL_BINDIR=bin) second=(-DCMAKE_INSTALL_BINDIR=/usr/sbin)
printf 'set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "")\nset(CMAKE_SKIP_RPATH ON CACHE BOOL "")\n' >"$work/sdk.cmake"
if [[ -n $toolchain ]]; then
  printf 'include(%s)\nset(CMAKE_SYSTEM_PROCESSOR MIPS)\n' "$toolchain" >"$work/mips.cmake"
  one+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain") second+=(-DCMAKE_TOOLCHAIN_FILE="$work/mips.cmake")
  sed -i "1i include($toolchain)" "$work/sdk.cmake"
fi
sdk=(-DCMAKE_TOOLCHAIN_FILE="$work/sdk.cmake" -DKELVORN_WERROR=ON)
build() {  # build DIR [cmake options...]: configure (output in DIR.log), build, stage
  local dir=$1
  shift
  cmake -S "$src" -B "$dir" -DKELVORN_BUILD_TESTS=OFF "$@" >"$dir.log" 2>&1 &&
    cmake --build "$dir" -j "$(nproc)" >>"$dir.log" 2>&1 &&
    DESTDIR=$dir/stage cmake --install "$dir" --prefix /usr --strip >/dev/null
}
cached() { sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"; }  # cached BUILD VARIABLE
# make_like BUILD: the Makefile's agent, and its stand-in store, with the
# CMake build's compiler (and its arguments) and flags, staged at $made.
make_like() {
  local dir=$1.make vars=()
  vars=(CXX="$(sed -n 's/^set(CMAKE_CXX_COMPILER\(_ARG1\)\{0,1\} "\(.*\)")$/\2/p' \
    "$1"/CMakeFiles/*/CMakeCXXCompiler.cmake | paste -sd' ' -)" STRIP="$(cached "$1" CMAKE_STRIP)"
    CXXFLAGS="$(cached "$1" CMAKE_CXX_FLAGS)" LDFLAGS="$(cached "$1" CMAKE_EXE_LINKER_FLAGS)"
    LDLIBS="$(cached "$1" CMAKE_CXX_STANDARD_LIBRARIES)" KELVORN_APMIB_DIR="$dir")
  mkdir -p "$dir"
  { make -s -C "$dir" -f "$src/Makefile" "${vars[@]}" standin &&
    make -s -C "$dir" -f "$src/Makefile" "${vars[@]}" PREFIX=/usr DESTDIR="$dir/stage" install-strip
  } >"$dir.log" 2>&1 || fail "the Makefile's build: $(tail -n 20 "$dir.log")"
  made=$dir/stage/usr/bin/kelvorn
}
said() { tr -s ' \n' ' ' <"$1" | grep -E "$2" >/dev/null; }  # said LOG TEXT: CMake wraps its messages
same() {  # same WHAT A B
  cmp -s "$2" "$3" 2>/dev/null || fail "$1 differ ($(stat -c %s "$2") and $(stat -c %s "$3") bytes)"
}

for build in "$work/one" "$work/second/build"; do
  mkdir -p "$(dirname "$build")"
  if [[ $build == */one ]]; then build "$build" "${one[@]}"; else build "$build" "${second[@]}"; fi
  # One empty RUNPATH entry at the end is CMake's, which it keeps to edit
  # the path out on install; another would have the loader search the
  # current folder. (An old-style RPATH where the C library's loader reads
  # only that one.)
  runpath=$(readelf -d "$build/kelvorn" | sed -n 's/.*(R\(UN\)\{0,1\}PATH).*\[\(.*\)\]/\2/p')
  [[ $runpath == '$ORIGIN/'*[^:]: && $runpath != *::* ]] ||
    fail "the build tree's kelvorn has RUNPATH '$runpath'"
  staged=$(cd "$build/stage" && find . -type f)
  [[ $staged == ./usr/bin/kelvorn || $staged == ./usr/sbin/kelvorn ]] ||
    fail "staged files are not just the agent:" $staged
  ! readelf -d "$build/stage/$staged" | grep -E "RPATH|RUNPATH" >/dev/null ||
    fail "the installed kelvorn keeps a RUNPATH"
done
same "two clean builds" "$work/one/stage/usr/bin/kelvorn" "$work/second/build/stage/usr/sbin/kelvorn"

# The SDK's flags, as build systems pass them.
mips=$(readelf -h "$work/one/kelvorn" | grep "Machine: *MIPS" >/dev/null && echo "-mips32r2 -mtune=24kc" || :)
flags="-Os -pipe $mips -fno-caller-saves -fno-plt -Wformat -Werror=format-security"
flags+=" -fstack-protector -D_FORTIFY_SOURCE=1" ldflags="-Wl,-z,now -Wl,-z,relro"
if [[ $libc == uclibc-ng ]]; then  # built without SSP: refused before any compile
  build "$work/ssp" "${sdk[@]}" -DCMAKE_CXX_FLAGS="$flags" &&
    fail "the stack protector was not refused for $libc"
  said "$work/ssp.log" "has no stack-protector canary" || fail "no word of the canary"
  flags=${flags/ -fstack-protector/}
fi
build "$work/sdk" "${sdk[@]}" -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" ||
  fail "the SDK's build: $(tail -n 20 "$work/sdk.log")"
grep -q "kelvorn: C library $libc, " "$work/sdk.log" || fail "the SDK's build does not link $libc"
kept="_FORTIFY_SOURCE BIND_NOW RELRO"
[[ $flags == *-fstack-protector* ]] && kept+=" stack.protector"
for protection in $kept; do
  grep -qE "hardening: .*$protection on \(your flags" "$work/sdk.log" ||
    fail "$protection not kept: $(grep hardening "$work/sdk.log")"
done
agent=$work/sdk/stage/usr/bin/kelvorn
readelf -lW "$agent" | grep GNU_RELRO >/dev/null || fail "the SDK's RELRO was undone"
[[ $kept != *stack* ]] || readelf --dyn-syms -W "$agent" | grep __stack_chk_fail >/dev/null ||
  fail "the SDK's stack protector was undone"
! grep -qiE "redefined|warning" "$work/sdk.log" || fail "$(grep -iE "redefined|warning" "$work/sdk.log")"
make_like "$work/sdk"
same "the SDK's CMake and Makefile builds" "$agent" "$made"

# Neither build's own flags, but the toolchain's.
build "$work/plain" -DCMAKE_SKIP_RPATH=ON ${toolchain:+-DCMAKE_TOOLCHAIN_FILE="$toolchain"}
make_like "$work/plain"
same "the CMake and Makefile default builds" "$work/plain/stage/usr/bin/kelvorn" "$made"

# What must be refused.
echo "set(KELVORN_LIBC_NAME not-$libc)" >>"$work/sdk.cmake"
! build "$work/claim" "${sdk[@]}" && said "$work/claim.log" "builds for not-$libc" ||
  fail "a toolchain file that wants another C library configured"
! make -s -C "$work/plain.make" -f "$src/Makefile" KELVORN_REPORT_HOST='inv;reboot' >"$work/host.log" 2>&1 &&
  grep -q "may hold only letters" "$work/host.log" || fail "the Makefile took a bad host"

[[ $status -eq 0 ]] && echo "passed: one staged file, no RUNPATH, identical builds, \$ORIGIN RUNPATH in the build tree; the SDK's build links $libc with its hardening kept; the Makefile's agents are the CMake builds' byte for byte"
exit $status
