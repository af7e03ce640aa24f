#!/usr/bin/env bash
# Builds kelvorn with warnings as errors and runs every test (unit tests,
# build checks, end-to-end scenarios) for each target: the host, and MIPS
# little- and big-endian under qemu-user.
#   scripts/test.sh            all three targets
#   scripts/test.sh mipsel     one of: host, mipsel, mips
set -euo pipefail
cd "$(dirname "$0")/.."

case "${1:-all}" in
  all) targets=(host mipsel mips) ;;
  host | mipsel | mips) targets=("$1") ;;
  *) echo "usage: $0 [all|host|mipsel|mips]" >&2; exit 2 ;;
esac

scripts/deps.sh "${targets[@]}"

failed=()
for target in "${targets[@]}"; do
  echo "==== $target ===="
  if [[ $target == host ]]; then
    dir=build toolchain=()
  else
    dir=build-$target toolchain=(-DCMAKE_TOOLCHAIN_FILE=$PWD/cmake/toolchains/$target-linux-gnu.cmake)
  fi
  if cmake -S . -B "$dir" "${toolchain[@]}" -DKELVORN_WERROR=ON &&
     cmake --build "$dir" -j "$(nproc)" &&
     ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"; then
    :
  else
    failed+=("$target")
  fi
done

if [[ ${#failed[@]} -ne 0 ]]; then
  echo "FAILED targets: ${failed[*]}"
  exit 1
fi
echo "all targets passed: ${targets[*]}"
