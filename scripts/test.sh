#!/usr/bin/env bash
# Builds kelvorn and runs every test and quality gate, then prints one line a
# gate. With warnings as errors throughout.
#
#   scripts/test.sh            every gate
#   scripts/test.sh GATE...    some of them:
#     host      the CTest suite (unit, build checks, end-to-end) on this machine
#     mipsel    the same suite cross-built for MIPS little-endian, under qemu-user
#     mips      the same for MIPS big-endian
#     sanitize  the host suite built with AddressSanitizer and UBSan
#     valgrind  the agent under memcheck: errors, leaks, descriptors left open
#     format    clang-format has nothing to change
#     tidy      clang-tidy finds nothing
#     cppcheck  cppcheck finds nothing
set -uo pipefail
cd "$(dirname "$0")/.."
top=$PWD

all=(host mipsel mips sanitize valgrind format tidy cppcheck)
gates=("${@:-${all[@]}}")
for gate in "${gates[@]}"; do
  [[ " ${all[*]} " == *" $gate "* ]] || { echo "usage: $0 [${all[*]}]" >&2; exit 2; }
done
scripts/deps.sh "${gates[@]}" || exit 1

configure_build() {  # configure_build DIR [cmake options...]
  local dir=$1
  shift
  cmake -S . -B "$dir" -DKELVORN_WERROR=ON "$@" && cmake --build "$dir" -j "$(nproc)"
}
suite() {  # suite DIR [ctest options...]
  local dir=$1
  shift
  ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" "$@"
}
sources() { git ls-files '*.cc' '*.h' '*.c'; }

gate() {
  case "$1" in
    host)
      configure_build build && suite build -LE memcheck ;;
    mipsel | mips)
      configure_build "build-$1" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchains/$1-linux-gnu.cmake" &&
        suite "build-$1" ;;
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
      git ls-files '*.cc' | xargs cppcheck --enable=warning,style,performance,portability \
        --std=c++17 --language=c++ --library=googletest --inline-suppr --error-exitcode=1 \
        --quiet -I. -DKELVORN_REPORT_HOST='"inventory.kelvorn.net"' ;;
  esac
}

passed=() failed=()
for g in "${gates[@]}"; do
  echo "==== $g ===="
  start=$SECONDS
  if gate "$g"; then
    passed+=("$g ($((SECONDS - start)) s)")
  else
    failed+=("$g ($((SECONDS - start)) s)")
  fi
done

echo
for g in "${passed[@]}"; do echo "gate passed: $g"; done
for g in "${failed[@]}"; do echo "gate FAILED: $g"; done
echo "gates: ${#passed[@]} passed, ${#failed[@]} failed"
[[ ${#failed[@]} -eq 0 ]]
