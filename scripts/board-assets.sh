#!/usr/bin/env bash
# What the booted MIPS board is made of, from Debian's mipsel packages:
# the Malta kernel and its modules, BusyBox, and curl with every library
# its closure may need. Downloaded once (apt-get download: nothing is
# installed on this machine) and unpacked into kelvorn's cache; prints the
# folder. Needs Debian's mipsel architecture in apt's lists (scripts/deps.sh
# board adds it).
#
#   scripts/board-assets.sh            fetches what is missing, prints the folder
#   scripts/board-assets.sh --cached   prints the folder, or fails if not fetched
set -euo pipefail
cache=${KELVORN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kelvorn}
# The kernel Debian currently ships for Malta, by its versioned name.
kernel=$(apt-cache depends linux-image-4kc-malta:mipsel 2>/dev/null |
  sed -n 's/.*Depends: \(linux-image-[^:]*\).*/\1/p' | head -n1)
[[ -n $kernel ]] || { echo "no linux-image-4kc-malta:mipsel in apt's lists" >&2; exit 1; }
assets=$cache/board-$kernel
if [[ -f $assets/.complete ]]; then
  echo "$assets"
  exit 0
fi
if [[ ${1:-} == --cached ]]; then
  echo "the board's packages ($kernel, BusyBox, curl) are not fetched: run scripts/deps.sh board" >&2
  exit 1
fi

echo "fetching the board's packages into $assets" >&2
rm -rf "$assets.partial"
mkdir -p "$assets.partial/debs" "$assets.partial/root"
# curl and everything it depends on, as real packages (not virtual ones).
packages=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts \
  --no-breaks --no-replaces --no-enhances curl:mipsel | grep -E '^[a-z0-9][^ ]*:mipsel$' | sort -u)
(cd "$assets.partial/debs" &&
  apt-get download -q "$kernel:mipsel" busybox-static:mipsel $packages >/dev/null 2>&1) || {
  echo "apt-get download failed for: $kernel busybox-static curl and its libraries" >&2
  exit 1
}
for deb in "$assets.partial/debs"/*.deb; do dpkg-deb -x "$deb" "$assets.partial/root"; done
# Of the kernel's modules the board loads two: the PCnet NIC's driver and
# the MII library it needs.
find "$assets.partial/root/lib/modules" -name '*.ko*' ! -name mii.ko ! -name pcnet32.ko -delete
rm -rf "$assets.partial/root/usr/share"
rm -rf "$assets.partial/debs" "$assets"
echo "$kernel" >"$assets.partial/kernel"
touch "$assets.partial/.complete"
mv "$assets.partial" "$assets"
echo "$assets"
