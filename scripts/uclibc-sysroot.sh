#!/usr/bin/env bash
# Builds uClibc-ng from Debian's uclibc-source with Debian's MIPS cross
# compiler, configured as a router SDK's C library is, and installs it as a
# sysroot. Cached: a second call with the same version and configuration
# only prints the path.
#
#   scripts/uclibc-sysroot.sh mipsel|mips    prints the sysroot's path
#
# The cache is $KELVORN_CACHE (default ~/.cache/kelvorn). Progress goes to
# stderr, the build's own log to a file beside the sysroot.
set -euo pipefail
arch=${1:?usage: $0 mipsel|mips}
case "$arch" in
  mipsel) endian=LITTLE other=BIG ;;
  mips) endian=BIG other=LITTLE ;;
  *) echo "usage: $0 mipsel|mips" >&2; exit 2 ;;
esac
triplet=$arch-linux-gnu
tarball=$(ls /usr/src/uClibc-ng-*.tar.xz 2>/dev/null | sort -V | tail -n1)
[[ -n $tarball ]] || { echo "uclibc-source is not installed (apt-get install uclibc-source)" >&2; exit 1; }
version=$(basename "$tarball" .tar.xz)

# What a router's uClibc-ng is: O32, the target's byte order, hard float as
# Debian's compiler emits, native threads (NPTL), IPv6, shared libraries and
# the loader at /lib/ld-uClibc.so.0, without a loader cache: an image's
# libraries sit in /lib and /usr/lib. Everything else as defconfig has it.
config="ARCH_WANTS_${endian}_ENDIAN=y
ARCH_${endian}_ENDIAN=y
# ARCH_WANTS_${other}_ENDIAN is not set
# ARCH_${other}_ENDIAN is not set
KERNEL_HEADERS=\"/usr/$triplet/include\"
CROSS_COMPILER_PREFIX=\"$triplet-\"
# HAS_NO_THREADS is not set
UCLIBC_HAS_THREADS_NATIVE=y
UCLIBC_HAS_IPV6=y
HAVE_SHARED=y
# LDSO_CACHE_SUPPORT is not set
RUNTIME_PREFIX=\"/\"
DEVEL_PREFIX=\"/usr/\""

# Its loader reads SysV hash tables only, and binutils 2.43 and later give a
# MIPS library a GNU one (.MIPS.xhash) by default.
make_vars=(UCLIBC_EXTRA_LDFLAGS=-Wl,--hash-style=sysv)

key=$( (echo "$version"; echo "$config"; echo "${make_vars[*]}") | sha256sum | cut -c1-12)
cache=${KELVORN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kelvorn}
sysroot=$cache/$version-$arch-$key
# The kernel's headers, as an SDK's sysroot carries them: uClibc-ng's own
# headers include them, and Debian has them for each cross target.
kernel_headers() {
  for dir in linux asm asm-generic mtd; do
    [[ -d $1/usr/include/$dir ]] || cp -r "/usr/$triplet/include/$dir" "$1/usr/include/"
  done
}
if [[ -f $sysroot/.complete ]]; then
  kernel_headers "$sysroot"
  echo "$sysroot"
  exit 0
fi

echo "building $version for $arch into $sysroot (about a minute or two)" >&2
mkdir -p "$cache"
work=$(mktemp -d "$cache/build.XXXXXX")
trap 'rm -rf "$work"' EXIT
log=$cache/$version-$arch-$key.log
tar -xf "$tarball" -C "$work"
src=$work/$version
{
  make -C "$src" ARCH=mips defconfig
  # Our settings replace defconfig's lines for the same option.
  names=$(sed -n 's/^\(# \)\{0,1\}\([A-Z0-9_]*\)[= ].*/\2/p' <<<"$config" | paste -sd'|' -)
  grep -vE "^(# )?($names)[= ]" "$src/.config" >"$work/config"
  echo "$config" >>"$work/config"
  mv "$work/config" "$src/.config"
  yes "" | make -C "$src" ARCH=mips oldconfig
  make -C "$src" -j "$(nproc)" "${make_vars[@]}"
  rm -rf "$sysroot.partial"
  make -C "$src" PREFIX="$sysroot.partial" "${make_vars[@]}" install
} >"$log" 2>&1 || { echo "uClibc-ng build failed; the log: $log" >&2; tail -n 20 "$log" >&2; exit 1; }

# The settings must have held: oldconfig drops what it cannot satisfy.
while read -r line; do
  [[ $line == "# "* ]] && continue
  grep -qxF "$line" "$src/.config" || { echo "uClibc-ng config lost: $line" >&2; exit 1; }
done <<<"$config"
for lib in "$sysroot.partial"/lib/*.so*; do
  [[ -L $lib ]] || [[ $(readelf -SW "$lib" | grep -oE '\.(MIPS\.x|gnu\.)?hash\b' | paste -sd' ' -) == .hash ]] ||
    { echo "uClibc-ng's $(basename "$lib") has no SysV hash table, or a GNU one" >&2; exit 1; }
done
kernel_headers "$sysroot.partial"
rm -rf "$sysroot"
mv "$sysroot.partial" "$sysroot"
touch "$sysroot/.complete"
echo "$sysroot"
