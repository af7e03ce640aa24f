#!/usr/bin/env bash
# Installs what building and testing kelvorn needs on Debian 12, when missing.
# Arguments name what is to be built or run (scripts/test.sh's gates, or
# "bench"): the cross targets also need their compiler and qemu-user, the
# other gates and the bench their tools; musl and the board need Debian's
# mipsel architecture. As root it runs apt-get; otherwise it prints the
# commands to run as root and fails. The board's kernel, BusyBox and curl
# come last, from Debian's mipsel packages, into kelvorn's cache.
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
)
uclibc=("/usr/share/doc/uclibc-source uclibc-source" "xz xz-utils" "perl perl")
foreign=()  # Debian architectures the packages below need
for target in "$@"; do
  case "$target" in
    mipsel | mips) needs+=("$target-linux-gnu-g++ g++-$target-linux-gnu" "qemu-$target qemu-user") ;;
    mipsel-uclibc | mips-uclibc)
      arch=${target%-*}
      needs+=("$arch-linux-gnu-g++ g++-$arch-linux-gnu" "qemu-$arch qemu-user" "${uclibc[@]}") ;;
    mipsel-musl)
      foreign+=(mipsel)
      needs+=("mipsel-linux-gnu-g++ g++-mipsel-linux-gnu" "qemu-mipsel qemu-user"
        "/usr/lib/mipsel-linux-musl/crt1.o musl-dev:mipsel") ;;
    board)
      foreign+=(mipsel)
      needs+=("mipsel-linux-gnu-g++ g++-mipsel-linux-gnu" "qemu-mipsel qemu-user" "${uclibc[@]}"
        "qemu-system-mipsel qemu-system-mips" "cpio cpio" "gzip gzip" "dpkg-deb dpkg"
        "/usr/lib/mipsel-linux-musl/crt1.o musl-dev:mipsel" "dnsmasq dnsmasq-base") ;;
    cxx11) needs+=("clang++ clang") ;;
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
new_arches=()
for arch in "${foreign[@]}"; do
  dpkg --print-foreign-architectures | grep -qx "$arch" ||
    [[ " ${new_arches[*]} " == *" $arch "* ]] || new_arches+=("$arch")
done

if [[ ${#missing[@]} -gt 0 || ${#new_arches[@]} -gt 0 ]]; then
  commands=()
  for arch in "${new_arches[@]}"; do commands+=("dpkg --add-architecture $arch"); done
  commands+=("apt-get update")
  [[ ${#missing[@]} -eq 0 ]] ||
    commands+=("apt-get install -y --no-install-recommends ${missing[*]}")
  if [[ $(id -u) -ne 0 ]]; then
    need="kelvorn needs these Debian packages: ${missing[*]:-none}"
    [[ ${#new_arches[@]} -eq 0 ]] || need+=", with Debian's ${new_arches[*]} architecture"
    echo "$need" >&2
    echo "as root, run:" >&2
    printf '  %s\n' "${commands[@]}" >&2
    exit 1
  fi
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  for arch in "${new_arches[@]}"; do dpkg --add-architecture "$arch"; done
  apt-get update -q </dev/null
  [[ ${#missing[@]} -eq 0 ]] ||
    apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
fi

if [[ " $* " == *" board "* ]]; then
  "$(dirname "$0")/board-assets.sh" >/dev/null
fi
