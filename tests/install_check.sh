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
#   library LIBC, keep the SDK's hardening and warn of nothing (a C library
#   without a canary refuses the stack protector at configure); claiming
#   another C library must fail at configure;
# - flag lines, each built by both (CMake's without RPATH): the same bytes
#   from both, and what the builds print of the agent, as its readelf shows
#   it. Ours come first and theirs last, so theirs win in any spelling; a
#   compiler that does not default to PIE behind a STATIC_LIBRARY toolchain
#   file, a symlinked compiler's strip, a reconfigure, switches spelled as
#   CMake spells them;
# - the Makefile rebuilds on new flags or a new compiler, and refuses a bad
#   host or switch as CMake does, its make syntax never expanded.
#   install_check.sh SOURCE_DIR LIBC [TOOLCHAIN_FILE]
set -euo pipefail
src=$1 libc=$2 toolchain=${3:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAILED: $*"; status=1; }
one=(-DCMAKE_INSTALL_BINDIR=bin) second=(-DCMAKE_INSTALL_BINDIR=/usr/sbin) ours=()
printf 'set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "")\nset(CMAKE_SKIP_RPATH ON CACHE BOOL "")\n' >"$work/sdk.cmake"
printf 'if(NOT CMAKE_CXX_COMPILER)\n set(CMAKE_CXX_COMPILER c++)\nendif()\n%s\n%s\n' \
  'list(APPEND CMAKE_CXX_COMPILER -fno-pie -no-pie)' \
  'set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)' >"$work/no-pie.cmake"
if [[ -n $toolchain ]]; then
  printf 'include(%s)\nset(CMAKE_SYSTEM_PROCESSOR MIPS)\n' "$toolchain" >"$work/mips.cmake"
  one+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain") second+=(-DCMAKE_TOOLCHAIN_FILE="$work/mips.cmake")
  ours=(-DCMAKE_TOOLCHAIN_FILE="$toolchain")
  sed -i "1i include($toolchain)" "$work/sdk.cmake" "$work/no-pie.cmake"
fi
sdk=(-DCMAKE_TOOLCHAIN_FILE="$work/sdk.cmake" -DKELVORN_WERROR=ON)
build() {  # build DIR [cmake options...]: configure (output in DIR.log), build, stage
  local dir=$1
  shift
  cmake -S "$src" -B "$dir" -DKELVORN_BUILD_TESTS=OFF "$@" >"$dir.log" 2>&1 &&
    cmake --build "$dir" -j "$(nproc)" >>"$dir.log" 2>&1 &&
    DESTDIR=$dir/stage cmake --install "$dir" --prefix /usr --strip >>"$dir.log" 2>&1
}
cached() { sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"; }  # cached BUILD VARIABLE
# make_like BUILD [DIR]: the Makefile's agent, and its stand-in store, with
# the CMake build's compiler (and its arguments), flags and switches, built
# in DIR (BUILD.make) and staged stripped at $made by the toolchain's own
# strip; $vars are make's variables.
make_like() {
  local dir=${2:-$1.make}
  vars=(CXX="$(sed -n 's/^set(CMAKE_CXX_COMPILER\(_ARG1\)\{0,1\} "\(.*\)")$/\2/p' \
    "$1"/CMakeFiles/*/CMakeCXXCompiler.cmake | paste -sd' ' -)"
    CXXFLAGS="$(cached "$1" CMAKE_CXX_FLAGS)" LDFLAGS="$(cached "$1" CMAKE_EXE_LINKER_FLAGS)"
    LDLIBS="$(cached "$1" CMAKE_CXX_STANDARD_LIBRARIES)" KELVORN_APMIB_DIR="$dir"
    KELVORN_LTO="$(cached "$1" KELVORN_LTO)")
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
# has WHAT AGENT WORDS: each +word is on in what the builds print of the
# agent, and each -word off: PIE, RELRO, BIND_NOW, canary, fortified (calls),
# and symtab (not stripped).
has() {
  local line word
  line="$(sh "$src/scripts/binary-report.sh" "$2" c++), symtab "
  line+="$(readelf -SW "$2" | grep -q ' \.symtab ' && echo on || echo off),"
  line=${line/fortified calls/fortified}
  for word in $3; do
    [[ $line == *" ${word#?} $([[ $word == +* ]] && echo on || echo off),"* ]] || fail "$1: not $word ($line)"
  done
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
flags+=" -fstack-protector -D_FORTIFY_SOURCE=1" ldflags="-Wl,-z,now -Wl,-z,relro" kept="+RELRO +BIND_NOW"
if [[ $libc == uclibc-ng ]]; then  # built without SSP: refused before any compile
  build "$work/ssp" "${sdk[@]}" -DCMAKE_CXX_FLAGS="$flags" &&
    fail "the stack protector was not refused for $libc"
  said "$work/ssp.log" "has no stack-protector canary" || fail "no word of the canary"
  flags=${flags/ -fstack-protector/}
else
  kept+=" +canary"
fi
build "$work/sdk" "${sdk[@]}" -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" ||
  fail "the SDK's build: $(tail -n 20 "$work/sdk.log")"
grep -q "kelvorn: C library $libc, " "$work/sdk.log" || fail "the SDK's build does not link $libc"
has "the SDK's build" "$work/sdk/stage/usr/bin/kelvorn" "$kept"
! grep -qiE "redefined|warning" "$work/sdk.log" || fail "$(grep -iE "redefined|warning" "$work/sdk.log")"
make_like "$work/sdk"
same "the SDK's CMake and Makefile builds" "$work/sdk/stage/usr/bin/kelvorn" "$made"

# Flag lines: name | CMAKE_CXX_FLAGS, CXXFLAGS | CMAKE_EXE_LINKER_FLAGS,
# LDFLAGS | what the agent has | another CMake option.
ln -s "$(readlink -f "$(sed -n 's/^set(CMAKE_CXX_COMPILER "\(.*\)")$/\1/p' \
  "$work"/one/CMakeFiles/*/CMakeCXXCompiler.cmake)")" "$work/router-g++"
while IFS='|' read -r name cxxflags ldflags want more; do
  build "$work/$name" -DCMAKE_SKIP_RPATH=ON "${ours[@]}" -DCMAKE_CXX_FLAGS="$cxxflags" \
    -DCMAKE_EXE_LINKER_FLAGS="$ldflags" ${more:+"$more"} || fail "$name: $(tail -n 20 "$work/$name.log")"
  make_like "$work/$name"
  same "$name: CMake's and the Makefile's agents" "$work/$name/stage/usr/bin/kelvorn" "$made"
  has "$name" "$made" "$want"
done <<EOF
plain|||-symtab +PIE +BIND_NOW|
off words|-fno-stack-protector -U_FORTIFY_SOURCE|-no-pie -Wl,-z,norelro -Wl,-z,lazy|-PIE -RELRO -BIND_NOW -canary -fortified|
split linker words|-Xlinker -z -Xlinker lazy|-Wl,-z -Wl,norelro|-RELRO -BIND_NOW +PIE|
split RELRO, -O2|-O2|-Wl,-z -Wl,relro|+RELRO +BIND_NOW|
no PIE by default, STATIC_LIBRARY probes|||+PIE|-DCMAKE_TOOLCHAIN_FILE=$work/no-pie.cmake
an rpath with ld-||-Wl,-rpath,/opt/vendor/ld-libs|+BIND_NOW|
a symlinked compiler|||-symtab|-DCMAKE_CXX_COMPILER=$work/router-g++
LTO spelled no|||-symtab|-DKELVORN_LTO=no
EOF
grep -q "kelvorn: C library $libc, " "$work/an rpath with ld-.log" || fail "an rpath with /ld- was refused"
same "a symlinked compiler's and the plain build" "$work/plain/stage/usr/bin/kelvorn" \
  "$work/a symlinked compiler/stage/usr/bin/kelvorn"
! cmp -s "$work/plain/stage/usr/bin/kelvorn" "$work/LTO spelled no/stage/usr/bin/kelvorn" ||
  fail "KELVORN_LTO=no still links with LTO"
# The Makefile rebuilds on new flags, and on a new compiler.
make_like "$work/plain"
m=(make -s -C "$work/plain.make" -f "$src/Makefile" "${vars[@]}")
"${m[@]}" LDFLAGS=-no-pie >/dev/null 2>&1 && has "new flags" "$work/plain.make/kelvorn" "-PIE" ||
  fail "new flags were not built"
mkdir "$work/compiler"
make -s -C "$work/compiler" -f "$src/Makefile" CXX=c++ KELVORN_APMIB_DIR="$work/compiler" standin \
  kelvorn >/dev/null 2>&1 || :
make_like "$work/plain" "$work/compiler"
same "a rebuild with a new compiler and the plain build" "$work/plain.make/stage/usr/bin/kelvorn" "$made"

# A reconfigure, with -O2 added, gives what a fresh configure does.
cmake -S "$src" -B "$work/plain" -DCMAKE_CXX_FLAGS=-O2 -DCMAKE_EXE_LINKER_FLAGS="-Wl,-z -Wl,relro" \
  >"$work/plain.log" && build "$work/plain" || fail "the reconfigure: $(tail -n 20 "$work/plain.log")"
same "a reconfigured and a fresh build" "$work/plain/stage/usr/bin/kelvorn" \
  "$work/split RELRO, -O2/stage/usr/bin/kelvorn"

# What must be refused.
echo "set(KELVORN_LIBC_NAME not-$libc)" >>"$work/sdk.cmake"
! build "$work/claim" "${sdk[@]}" && said "$work/claim.log" "builds for not-$libc" ||
  fail "a toolchain file that wants another C library configured"
! build "$work/switch" -DKELVORN_SAFE_REPLY=disabled && said "$work/switch.log" "must be ON or OFF" ||
  fail "CMake took KELVORN_SAFE_REPLY=disabled"
for bad in KELVORN_REPORT_HOST='inv;reboot' KELVORN_REPORT_HOST="\$(shell touch $work/evil; echo evil.example)" \
  KELVORN_SAFE_REPLY=disabled KELVORN_LTO=disabled; do
  ! "${m[@]}" "$bad" >"$work/bad.log" 2>&1 && grep -qE "may hold only letters|must be ON or OFF" \
    "$work/bad.log" && [[ ! -e $work/evil ]] || fail "the Makefile took $bad"
done

[[ $status -eq 0 ]] && echo "passed: one staged file, no RUNPATH, identical builds, \$ORIGIN RUNPATH in the build tree; the SDK's build links $libc with its hardening kept; flag lines: the Makefile's agents are the CMake builds' byte for byte, and theirs win"
exit $status
