#!/usr/bin/env bash
# Installs what building and testing kelvorn needs on Debian 12, when missing.
# Arguments name the targets (host, mipsel, mips); the cross targets also need
# their compiler and qemu-user, and "bench" the measuring tools. As root it runs apt-get; otherwise it says what
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
    bench) needs+=("valgrind valgrind" "readelf binutils") ;;
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
