#!/usr/bin/env bash
# Installs what building and testing kelvorn needs on Debian 12 or 13, when
# missing: this machine's own packages only. Arguments name what is to be
# built or run (scripts/test.sh's gates, or "bench"): the cross targets also
# need their compiler and qemu-user, the other gates and the bench their
# tools. As root it runs apt-get; otherwise it prints the commands to run
# as root and fails. Then the musl build and the board take Debian 12's
# mipsel packages into kelvorn's cache (scripts/mipsel-packages.sh: no root,
# and this machine's apt is left as it is).
set -euo pipefail

# command or file to look for, and the Debian package that provides it
needs=(
  "cmake cmake"
  "make make"
  "git git"
  "g++ g++"
  "/usr/src/googletest/CMakeLists.txt libgtest-dev"
  "curl curl"
  "openssl openssl"
  "python3 python3"
  "ip iproute2"
  "unshare util-linux"
  "strace strace"
  "faketime faketime"
  "busybox busybox"
)
# The older MIPS cross compiler each release has beside its default one.
older_gcc=
. /etc/os-release 2>/dev/null || true
case "${VERSION_ID:-}" in 12) older_gcc=11 ;; 13) older_gcc=13 ;; esac
uclibc=("/usr/share/doc/uclibc-source uclibc-source" "xz xz-utils" "perl perl")
fetch=()  # sets of Debian's mipsel packages to fetch into the cache
for target in "$@"; do
  case "$target" in
    mipsel | mips) needs+=("$target-linux-gnu-g++ g++-$target-linux-gnu" "qemu-$target qemu-user") ;;
    mipsel-uclibc | mips-uclibc)
      arch=${target%-*}
      needs+=("$arch-linux-gnu-g++ g++-$arch-linux-gnu" "qemu-$arch qemu-user" "${uclibc[@]}") ;;
    mipsel-musl)
      fetch+=(musl)
      needs+=("mipsel-linux-gnu-g++ g++-mipsel-linux-gnu" "qemu-mipsel qemu-user" "dpkg-deb dpkg") ;;
    board)
      fetch+=(musl board)
      needs+=("mipsel-linux-gnu-g++ g++-mipsel-linux-gnu" "qemu-mipsel qemu-user" "${uclibc[@]}"
        "qemu-system-mipsel qemu-system-mips" "cpio cpio" "gzip gzip" "dpkg-deb dpkg"
        "dnsmasq dnsmasq-base") ;;
    cxx11)
      needs+=("clang++ clang" "mipsel-linux-gnu-g++ g++-mipsel-linux-gnu")
      [[ -z $older_gcc ]] ||
        needs+=("mipsel-linux-gnu-g++-$older_gcc g++-$older_gcc-mipsel-linux-gnu") ;;
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

if [[ ${#missing[@]} -gt 0 ]]; then
  if [[ $(id -u) -ne 0 ]]; then
    echo "kelvorn needs these Debian packages: ${missing[*]}" >&2
    echo "as root, run:" >&2
    printf '  %s\n' "apt-get update" "apt-get install -y --no-install-recommends ${missing[*]}" >&2
    exit 1
  fi
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q </dev/null
  # Every package must exist before any is installed: a failed run leaves
  # the machine as it was.
  unknown=()
  for package in "${missing[@]}"; do
    apt-cache show "$package" >/dev/null 2>&1 || unknown+=("$package")
  done
  if [[ ${#unknown[@]} -gt 0 ]]; then
    echo "kelvorn needs these Debian packages, which apt does not know here" \
      "(${PRETTY_NAME:-this system}): ${unknown[*]}; nothing was installed" >&2
    exit 1
  fi
  apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
fi

for set in $(printf '%s\n' "${fetch[@]}" | sort -u); do
  "$(dirname "$0")/mipsel-packages.sh" "$set" >/dev/null
done
