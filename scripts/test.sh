#!/usr/bin/env bash
# Builds kelvorn and runs every test and quality gate, then prints one line a
# gate. With warnings as errors throughout.
#
#   scripts/test.sh            every gate
#   scripts/test.sh GATE...    some of them:
#     host      the CTest suite (unit, build checks, end-to-end) on this machine
#     mipsel    the same suite cross-built for MIPS little-endian, under qemu-user
#     mips      the same for MIPS big-endian
#     mipsel-uclibc, mips-uclibc, mipsel-musl
#               the agent built against a router's own C library (uClibc-ng
#               built from Debian's source, or musl), its NEEDED entries and
#               the end-to-end scenarios under qemu-user
#     board     a booted MIPS Malta board (qemu-system-mipsel, Debian's
#               kernel, BusyBox): the uClibc-ng and musl agents' scenarios in
#               the guest, started by its init, crond and DHCP client too
#     cxx11     the agent's own code compiles as C++11, -pedantic-errors
#     sanitize  the host suite built with AddressSanitizer and UBSan
#     valgrind  the agent under memcheck: errors, leaks, descriptors left open
#     format    clang-format has nothing to change
#     tidy      clang-tidy finds nothing
#     cppcheck  cppcheck finds nothing
#
# A gate whose suite skipped a test fails, and says how many and why; with
# KELVORN_ALLOW_SKIPS=1 in the environment skips only warn.
set -uo pipefail
cd "$(dirname "$0")/.."
top=$PWD

all=(host mipsel mips mipsel-uclibc mips-uclibc mipsel-musl board cxx11 sanitize valgrind format
  tidy cppcheck)
gates=("${@:-${all[@]}}")
for gate in "${gates[@]}"; do
  [[ " ${all[*]} " == *" $gate "* ]] || { echo "usage: $0 [${all[*]}]" >&2; exit 2; }
done
scripts/deps.sh "${gates[@]}" || exit 1

# uClibc-ng's build keeps about one core busy: the two sysroots the gates
# need (each built once, then cached) are made side by side.
arches=()
for gate in "${gates[@]}"; do
  case "$gate" in mipsel-uclibc | board) arches+=(mipsel) ;; mips-uclibc) arches+=(mips) ;; esac
done
for arch in $(printf '%s\n' "${arches[@]}" | sort -u); do
  scripts/uclibc-sysroot.sh "$arch" >/dev/null &
done
wait

configure_build() {  # configure_build DIR [cmake options...]
  local dir=$1
  shift
  cmake -S . -B "$dir" -DKELVORN_WERROR=ON "$@" && cmake --build "$dir" -j "$(nproc)"
}
suite() {  # suite DIR [ctest options...]: runs, then fails on any skip
  local dir=$1
  shift
  ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" "$@" | tee "$dir/ctest.out" &&
    no_skips "$dir"
}
# Tests CTest reports as skipped in DIR's last run, each with the reason it
# printed ("SKIPPED: why" from our harnesses, the line after GoogleTest's
# "Skipped"). Fails on any, unless KELVORN_ALLOW_SKIPS=1.
no_skips() {  # no_skips DIR
  local names
  names=$(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (Skipped)$/\1/p' "$1/ctest.out")
  [[ -z $names ]] && return 0
  local count reasons
  count=$(wc -l <<<"$names")
  reasons=$(while read -r name; do
    awk -v test="$name" '
      index($0, " Test: " test) && substr($0, length($0) - length(test) + 1) == test { on = 1; next }
      on && /^<end of output>$/ { exit }
      on && sub(/^SKIPPED: /, "") { print; exit }
      on && after_skip { print; exit }
      on && /: Skipped$/ { after_skip = 1 }' "$1/Testing/Temporary/LastTest.log"
  done <<<"$names" | sort | uniq -c | sed 's/^ *\([0-9]*\) /\1 × /')
  skipped+=("$current: $count skipped: $(paste -sd'|' - <<<"$reasons" | sed 's/|/; /g')")
  [[ ${KELVORN_ALLOW_SKIPS:-0} == 1 ]]
}
sources() { git ls-files '*.cc' '*.h' '*.c'; }
# Two well-formed public-key pins, for builds with every report option.
pin_a=6UjdOmbjXWQiSJ9fgzWHm/Qzq47nf8UWQ1iklrKaLrg= pin_b=/LhvX61UzTc9FE7CoXzsaZZOaIqylqxJM4m9jFNyi/A=

gate() {
  case "$1" in
    host)
      configure_build build && suite build -LE memcheck ;;
    mipsel | mips)
      configure_build "build-$1" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchains/$1-linux-gnu.cmake" &&
        suite "build-$1" ;;
    *-uclibc | *-musl)
      configure_build "build-$1" \
        -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchains/${1%-*}-linux-${1##*-}.cmake" &&
        suite "build-$1" -LE board ;;
    board)
      local libc
      for libc in uclibc musl; do
        configure_build "build-mipsel-$libc" \
          -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchains/mipsel-linux-$libc.cmake" &&
          suite "build-mipsel-$libc" -L board --verbose || return 1
      done ;;
    cxx11)
      # The agent's own targets, through the real build, as an older router
      # SDK's compiler takes them: C++11, -pedantic-errors, with and without
      # the report options, and with an SDK's flags line; both MIPS cross
      # compilers of this release, and Clang. Every compile must be C++11.
      local compiler variant n=0
      local reports="-DKELVORN_TLS_CA_FILE=/etc/ca.pem -DKELVORN_CURL_MAX_TIME=30 $(
        )-DKELVORN_TLS_PINNED_KEYS=sha256//${pin_a};sha256//${pin_b} -DKELVORN_SAFE_REPLY=ON"
      for compiler in $(compgen -c mipsel-linux-gnu-g++- | sort -u) clang++; do
        for variant in plain reports sdk; do
          local toolchain=$top/cmake/toolchains/mipsel-linux-gnu.cmake dir=build-cxx11/$((n++))
          [[ $compiler == clang++ ]] && toolchain=
          local flags=-pedantic-errors args=()
          case $variant in
            reports) read -ra args <<<"$reports" ;;
            sdk)
              flags+=" -Os -pipe -fno-plt -Wformat -Werror=format-security -fstack-protector"
              flags+=" -D_FORTIFY_SOURCE=1" args=("-DCMAKE_EXE_LINKER_FLAGS=-Wl,-z,now -Wl,-z,relro") ;;
          esac
          echo "-- $compiler, $variant"
          rm -rf "$dir"
          configure_build "$dir" -DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_CXX_FLAGS="$flags" \
            ${toolchain:+-DCMAKE_TOOLCHAIN_FILE="$toolchain"} -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
            -DKELVORN_BUILD_TESTS=OFF "${args[@]}" >/dev/null || return 1
          ! grep '"command"' "$dir/compile_commands.json" | grep -v -e '-std=c++11 ' ||
            { echo "compiled as other than C++11 (above)"; return 1; }
        done
      done ;;
    sanitize)
      configure_build build-sanitize -DKELVORN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug &&
        ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
          suite build-sanitize ;;
    valgrind)
      configure_build build && suite build -L memcheck ;;
    format)
      sources | xargs clang-format --dry-run --Werror ;;
    tidy)
      # clang reads GCC's compile commands, less GCC's LTO flags; nothing
      # needs building for that.
      cmake -S . -B build-tidy -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DKELVORN_LTO=OFF &&
        git ls-files '*.cc' | xargs clang-tidy -p build-tidy --quiet 2>&1 |
        { grep -vE '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$' || true; } ;;
    cppcheck)
      # Pinned, for cppcheck 2.17: useStlAlgorithm, because the code is plain
      # loops over small C tables, as the platform's is; and the note that it
      # limits its analysis of branches, which finds nothing.
      git ls-files '*.cc' | xargs cppcheck --enable=warning,style,performance,portability \
        --std=c++17 --language=c++ --library=googletest --inline-suppr --error-exitcode=1 \
        --suppress=useStlAlgorithm --suppress=normalCheckLevelMaxBranches \
        --quiet -I. -DKELVORN_REPORT_HOST='"inventory.kelvorn.net"' ;;
  esac
}

passed=() failed=() skipped=()
for current in "${gates[@]}"; do
  echo "==== $current ===="
  start=$SECONDS
  if gate "$current"; then
    passed+=("$current ($((SECONDS - start)) s)")
  else
    failed+=("$current ($((SECONDS - start)) s)")
  fi
done

echo
for g in "${passed[@]}"; do echo "gate passed: $g"; done
for g in "${failed[@]}"; do echo "gate FAILED: $g"; done
if [[ ${KELVORN_ALLOW_SKIPS:-0} == 1 ]]; then
  for s in "${skipped[@]}"; do echo "warning, allowed by KELVORN_ALLOW_SKIPS=1: $s"; done
else
  for s in "${skipped[@]}"; do echo "gate FAILED on skips: $s"; done
fi
echo "gates: ${#passed[@]} passed, ${#failed[@]} failed"
[[ ${#failed[@]} -eq 0 ]]
