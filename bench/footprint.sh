#!/usr/bin/env bash
# Footprint and cost of one kelvorn run, beside a minimal C program that does
# the same run (bench/minimal_run.c), both built and measured the same way.
#
#   bench/footprint.sh
#
# For host, mipsel and mips (and the uClibc-ng and musl builds): the stripped
# size of the installed binary and its NEEDED entries. For the host: instructions retired by the agent's own
# process (callgrind, children not traced), its system calls (strace -c,
# children not followed) and its peak RSS. curl is a stand-in that exits at
# once, so only the agent is measured. libapmib.so (the stand-in store) is
# loaded by its absolute path, as the router's loader finds it in /lib,
# without a library-path search. Then the size each hardening flag costs on
# mipsel. Prints tables; asserts nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
out=$top/build-bench
scripts/deps.sh host mipsel mips mipsel-uclibc mips-uclibc mipsel-musl bench >&2

build() {  # build NAME TRIPLET-or-host [cmake options...]: configure, build, stage
  local name=$1 target=$2
  shift 2
  local toolchain=()
  [[ $target == host ]] || toolchain=(-DCMAKE_TOOLCHAIN_FILE=$top/cmake/toolchains/$target.cmake)
  rm -rf "$out/$name"
  cmake -S "$top" -B "$out/$name" "${toolchain[@]}" -DKELVORN_BUILD_TESTS=OFF \
    -DKELVORN_INSTALL_APMIB_STANDIN=ON "$@" >/dev/null
  cmake --build "$out/$name" -j "$(nproc)" >/dev/null
  DESTDIR=$out/$name/stage cmake --install "$out/$name" --prefix /usr --strip >/dev/null
}

needed() { readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | paste -sd, -; }

reference() {  # reference TARGET STAGE: builds minimal_run.c with gcc -Os, stripped
  local cc=gcc strip=strip
  [[ $1 == host ]] || cc=$1-gcc strip=$1-strip
  $cc -Os -o "$2/minimal_run" bench/minimal_run.c -L"$2/usr/lib" -lapmib
  $strip "$2/minimal_run"
}

run_env() {  # the environment of one measured run
  env -i PATH="$work/bin:/usr/bin:/bin" APMIB_STORE="$work/store" \
    LD_PRELOAD="$1" KELVORN_BENCH_RSS="$work/rss" "${@:2}"
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
printf 'MIB_WAN_MAC_ADDR 00:1a:2b:3c:4d:5e\n' >"$work/store"

printf '\nFootprint (stripped, installed)\n\n'
printf '| target | kelvorn bytes | minimal C bytes | kelvorn NEEDED | minimal C NEEDED |\n'
printf '|---|---:|---:|---|---|\n'
for target in host mipsel-linux-gnu mips-linux-gnu; do
  name=${target%%-*}
  build "$name" "$target"
  stage=$out/$name/stage
  reference "$target" "$stage"
  printf '| %s | %d | %d | %s | %s |\n' "$name" \
    "$(stat -c %s "$stage/usr/bin/kelvorn")" "$(stat -c %s "$stage/minimal_run")" \
    "$(needed "$stage/usr/bin/kelvorn")" "$(needed "$stage/minimal_run")"
done
# The router C libraries' builds; the yardstick is built for glibc only.
for target in mipsel-linux-uclibc mips-linux-uclibc mipsel-linux-musl; do
  name=${target%%-*}-${target##*-}
  build "$name" "$target"
  stage=$out/$name/stage
  printf '| %s | %d | | %s | |\n' "$name" "$(stat -c %s "$stage/usr/bin/kelvorn")" \
    "$(needed "$stage/usr/bin/kelvorn")"
done

printf '\nOne run on the host (no eth1 here: the 0.0.0.0 path)\n\n'
printf '| program | instructions | system calls | peak RSS |\n'
printf '|---|---:|---:|---:|\n'
stage=$out/host/stage
lib=$stage/usr/lib/libapmib.so
# The last row: the build tree's binary, which finds the stand-in store
# through its RUNPATH, as `build/kelvorn` does.
for program in kelvorn minimal_run "kelvorn, build tree"; do
  binary=$stage/usr/bin/kelvorn preload=$lib
  [[ $program == minimal_run ]] && binary=$stage/minimal_run
  [[ $program == "kelvorn, build tree" ]] && binary=$out/host/kelvorn preload=
  ln -sf /bin/true "$work/bin/curl"
  instructions=$(cd "$work" && run_env "$preload" valgrind --tool=callgrind \
    --callgrind-out-file=/dev/null "$binary" 2>&1 >/dev/null | sed -n 's/.*Collected : //p')
  (cd "$work" && run_env "$preload" strace -c -o "$work/strace" "$binary" >/dev/null)
  syscalls=$(awk '$NF == "total" { print $4 }' "$work/strace")
  # This curl reads the agent's high-water mark while the agent waits for it.
  rm "$work/bin/curl"
  printf '#!/bin/sh\nsed -n "s/^VmHWM:[[:space:]]*//p" /proc/$PPID/status >"$KELVORN_BENCH_RSS"\n' \
    >"$work/bin/curl"
  chmod +x "$work/bin/curl"
  (cd "$work" && run_env "$preload" "$binary" >/dev/null)
  printf '| %s | %s | %s | %s |\n' "$program" "$instructions" "$syscalls" "$(cat "$work/rss")"
done

printf '\nHardening on mipsel: each flag against the default build\n\n'
printf '| build | kelvorn bytes | NEEDED |\n'
printf '|---|---:|---|\n'
variants=(
  "default:"
  "+ stack protector:-DKELVORN_STACK_PROTECTOR=ON"
  "+ RELRO:-DKELVORN_RELRO=ON"
  "- PIE:-DCMAKE_CXX_FLAGS=-fno-pie -DCMAKE_EXE_LINKER_FLAGS=-no-pie"
  "- _FORTIFY_SOURCE:-DKELVORN_FORTIFY=OFF"
  "- BIND_NOW:-DKELVORN_BIND_NOW=OFF"
  "- LTO:-DKELVORN_LTO=OFF"
)
for variant in "${variants[@]}"; do
  label=${variant%%:*} option=${variant#*:}
  build mipsel-variant mipsel-linux-gnu $option
  stage=$out/mipsel-variant/stage
  printf '| %s | %d | %s |\n' "$label" "$(stat -c %s "$stage/usr/bin/kelvorn")" \
    "$(needed "$stage/usr/bin/kelvorn")"
done
