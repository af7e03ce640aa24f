#!/usr/bin/env bash
# Installs what building and testing kelvorn needs on Debian 12, when missing.
# Arguments name what is to be built or run (scripts/test.sh's gates, or
# "bench"): the cross targets also need their compiler and qemu-user, the
# other gates and the bench their tools. As root it runs apt-get; otherwise it says what
# to install and fails.
set -euo pipefail

# command or file to look for, and the Debian package that provides it
needs=(
  "cmake cmake"
  "make make"
  "g++ g++"
  "/usr/src/googletest/CMakeLists.txt libgtest-dev"
  "curl curl"
  "openssl openssl"
  "python3 python3"
  "ip iproute2"
  "unshare util-linux"
  "strace strace"
)
for target in "$@"; do
  case "$target" in
    mipsel | mips) needs+=("$target-linux-gnu-g++ g++-$target-linux-gnu" "qemu-$target qemu-user") ;;
    valgrind) needs+=("valgrind valgrind") ;;
    bench) needs+=("valgrind valgrind" "readelf binutils") ;;
    format) needs+=("clang-format clang-format") ;;
    tidy) needs+=("clang-tidy clang-tidy") ;;
    cppcheck) needs+=("cppcheck cppcheck") ;;
  esac
done

missing=()
for need in "${needs[@]}"; do
  read -r what package <<<"$need"
  if [[ $what == /* ]]; then
    [[ -e $what ]] && continue
  else
    command -v "$what" >/dev/null 2>&1 && continue
  fi
  [[ " ${missing[*]} " == *" $package "* ]] || missing+=("$package")
done

[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -ne 0 ]]; then
  echo "kelvorn needs these Debian packages: ${missing[*]}" >&2
  echo "install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q </dev/null
apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
